// Output naming on arbitrary paths: never a crash, the proposal always lies in the input's own
// folder, never names the input itself, and follows the tag rule for the file name.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fileops/output_name.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string input = fuzz::DecodeUtf16(data, size);
    const std::u16string output = ProposeOutputName(input);

    const std::size_t separator = input.rfind(u'/');
    const std::size_t nameStart = separator == std::u16string::npos ? 0 : separator + 1;
    const std::u16string_view folder = std::u16string_view(input).substr(0, nameStart);
    const std::u16string_view name = std::u16string_view(input).substr(nameStart);

    FUZZ_CHECK(std::u16string_view(output).substr(0, nameStart) == folder,
               "the proposal left the input's folder");
    FUZZ_CHECK(output.find(u'/', nameStart) == std::u16string::npos,
               "the proposal's name reaches into another folder");
    FUZZ_CHECK(output != input, "the proposal names the input itself");

    // The name itself, by the tag rule: "_encr" goes in front of the extension, or at the end when
    // there is none; a name that already carries "_encr" there gets "_decr" in its place.
    std::u16string expected(folder);
    const std::size_t dot = name.rfind(u'.');
    if (dot == std::u16string_view::npos) {
        expected.append(name).append(u"_encr");
    } else {
        std::u16string_view stem = name.substr(0, dot);
        const std::u16string_view extension = name.substr(dot);
        if (stem.ends_with(u"_encr")) {
            stem.remove_suffix(5);
            expected.append(stem).append(u"_decr").append(extension);
        } else {
            expected.append(stem).append(u"_encr").append(extension);
        }
    }
    FUZZ_CHECK(output == expected, "the proposal breaks the tag rule");
    return 0;
}
