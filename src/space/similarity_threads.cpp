// similarity_threads (declared in space/similarity_table.hpp): sizing the
// workers of a similarity table.
#include "space/similarity_table.hpp"

#include <algorithm>

#include "util/cpu_count.hpp"

namespace orvelle {

unsigned similarity_threads(std::size_t work) {
    // Below a few million multiply-adds, starting threads costs more than it saves.
    constexpr std::size_t kWorkPerThread = std::size_t{1} << 22;
    const unsigned hw = usable_cpus();
    return static_cast<unsigned>(std::clamp<std::size_t>(work / kWorkPerThread, 1, hw));
}

}  // namespace orvelle
