// Output naming on arbitrary paths: never a crash, and the proposal keeps these properties:
//  - it lies in the input's own folder and never names the input itself;
//  - it is the input with one tag at the name's last dot (or its end): "_encr" added, or an
//    "_encr" already there turned into "_decr";
//  - a proposal for a proposal is predictable: where "_encr" was added before an extension, the
//    second proposal turns it into "_decr"; without an extension it adds another "_encr".
// The documented examples are the naming tests'.

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
    FUZZ_CHECK(std::u16string_view(output).substr(0, nameStart) ==
                   std::u16string_view(input).substr(0, nameStart),
               "the proposal left the input's folder");
    FUZZ_CHECK(output.find(u'/', nameStart) == std::u16string::npos,
               "the proposal's name reaches into another folder");
    FUZZ_CHECK(output != input, "the proposal names the input itself");

    // Where the tag goes: the name's last dot, or its end.
    const std::size_t dot = input.rfind(u'.');
    const bool hasExtension = dot != std::u16string::npos && dot >= nameStart;
    const std::size_t at = hasExtension ? dot : input.size();
    const bool added = output.size() == input.size() + 5;
    if (added) {
        FUZZ_CHECK(output.compare(at, 5, u"_encr") == 0 &&
                       output.substr(0, at) + output.substr(at + 5) == input,
                   "the proposal is not the input with \"_encr\" added at its tag place");
    } else {
        FUZZ_CHECK(at >= 5 && input.compare(at - 5, 5, u"_encr") == 0 &&
                       output == input.substr(0, at - 5) + u"_decr" + input.substr(at),
                   "the proposal neither adds \"_encr\" nor turns one into \"_decr\"");
    }

    if (added) {
        std::u16string second = output;
        if (hasExtension) {
            second.replace(at, 5, u"_decr");
        } else {
            second += u"_encr";
        }
        FUZZ_CHECK(ProposeOutputName(output) == second,
                   "the proposal for the proposal is not the predicted one");
    }
    return 0;
}
