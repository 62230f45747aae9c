// One line of a feature file, from a sentence's activations:
//   {"linex_index":N,"features":[{"token":"t","layers":[{"index":I,"values":[v,...]},...]},...]}\n
// the layout, number texts and string escapes of the Python writer it stands
// in for, so files stay byte-identical whichever wrote them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace orvelle {

// A sentence's activations, values[layer][token][unit] in row-major order:
// float32 values are written as the doubles they convert to exactly.
template <class T>
struct SentenceValues {
    std::span<const T> values;
    std::size_t layers;
    std::size_t tokens;
    std::size_t width;
};

// Builds lines into one reused buffer.
class FeatureLine {
public:
    // `layers` are the hidden-state indexes written for each layer of `v`;
    // `digits` as write_feature_number (0: shortest round trip). The line is
    // valid until the next call.
    template <class T>
    std::string_view build(std::uint64_t line_index, std::span<const std::string_view> tokens,
                           std::span<const std::int64_t> layers, const SentenceValues<T>& v, int digits);

private:
    std::unique_ptr<char[]> buf_;
    std::size_t capacity_ = 0;
};

// The first layer of `v` holding a NaN or an infinity: such a value has no
// JSON spelling, so the writer refuses the sentence.
template <class T>
std::optional<std::size_t> non_finite_layer(const SentenceValues<T>& v);

// `text` as a JSON string, quotes included, escaped as Python's
// json.dumps(text, ensure_ascii=False): \" \\ \b \f \n \r \t, other control
// characters as \u00XX (lower-case hex), everything else as it is. `out` has
// room for 6 * text.size() + 2.
char* write_json_string(char* out, std::string_view text);

}  // namespace orvelle
