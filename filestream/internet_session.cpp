#include "filestream/internet_session.h"

#include <utility>

#include "filestream/text_convert.h"

CInternetException::CInternetException(std::u16string url_, std::u16string reason_)
    : url(std::move(url_)), reason(std::move(reason_)), utf8Message_(Utf16ToUtf8(Message())) {}

std::u16string CInternetException::Message() const {
    return (url.empty() ? std::u16string(u"An empty address") : url) + u" could not be read: " +
           reason;
}

const char* CInternetException::what() const noexcept {
    return utf8Message_.c_str();
}

CInternetSession::CInternetSession(std::u16string agentName) : agentName_(std::move(agentName)) {}

CInternetSession::~CInternetSession() = default;

std::unique_ptr<IPlatformFile> CInternetSession::OpenUrl(std::u16string_view url) {
    throw CInternetException(std::u16string(url), u"internet sources are not available yet.");
}
