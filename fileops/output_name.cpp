#include "fileops/output_name.h"

namespace {

constexpr std::u16string_view kEncryptedTag = u"_encr";
constexpr std::u16string_view kDecryptedTag = u"_decr";

}  // namespace

std::u16string ProposeOutputName(std::u16string_view inputPath) {
    // The file name starts after the last separator; a dot before it belongs to a folder.
    const std::size_t separator = inputPath.rfind(u'/');
    const std::size_t nameStart = separator == std::u16string_view::npos ? 0 : separator + 1;
    const std::size_t dot = inputPath.rfind(u'.');

    std::u16string result;
    if (dot == std::u16string_view::npos || dot < nameStart) {
        // No extension: the tag goes at the end, even after an existing "_encr".
        result.reserve(inputPath.size() + kEncryptedTag.size());
        result.append(inputPath);
        result.append(kEncryptedTag);
        return result;
    }

    std::u16string_view stem = inputPath.substr(0, dot);
    const std::u16string_view extension = inputPath.substr(dot);  // with its dot
    std::u16string_view tag = kEncryptedTag;
    // The test is exact (lower case only). It never reaches into a folder name: a stem whose name
    // part is empty ends with the separator, which "_encr" does not contain.
    if (stem.ends_with(kEncryptedTag)) {
        stem.remove_suffix(kEncryptedTag.size());
        tag = kDecryptedTag;
    }
    result.reserve(stem.size() + tag.size() + extension.size());
    result.append(stem);
    result.append(tag);
    result.append(extension);
    return result;
}
