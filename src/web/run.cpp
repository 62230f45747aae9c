#include "web/run.hpp"

#include "util/panic.hpp"

namespace orvelle {

// Placeholder until the viewer lands.
void Web::run() const { panic("visualize(): the local viewer is not built yet in this version of orvelle"); }

}  // namespace orvelle
