#include "filestream/internet_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "filestream/file_error.h"
#include "filestream/text_convert.h"

namespace {

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A URL source read on demand: the transfer advances only while a reader waits for bytes, so at
// most what one turn of the transfer brings is held beyond what the reader asked for.
class UrlSource final : public IPlatformFile {
  public:
    explicit UrlSource(std::u16string url) : url_(std::move(url)) {}
    ~UrlSource() override { Abort(); }
    UrlSource(const UrlSource&) = delete;
    UrlSource& operator=(const UrlSource&) = delete;

    void Start(const std::string& url, const std::string& agent);

    void Open(std::u16string_view path, FileAccess) override {
        throw CFileException(CFileException::Generic, std::u16string(path));
    }
    std::int32_t Read(void* destination, std::int32_t count) override;
    void Write(const void*, std::int32_t) override {
        throw CFileException(CFileException::AccessDenied, url_);
    }
    std::uint64_t Seek(std::int64_t, SeekOrigin) override { return delivered_; }
    std::uint64_t GetPosition() const override { return delivered_; }
    std::uint64_t GetLength() const override { return length_; }
    // A source that failed is never drained: the next read raises its error.
    bool IsDrained() const override { return done_ && result_ == CURLE_OK && Queued() == 0; }
    void Close() override { Abort(); }
    void Abort() noexcept override;
    void AbortAndRemove() noexcept override { Abort(); }
    bool IsOpen() const override { return easy_ != nullptr; }

  private:
    static std::size_t OnData(char* data, std::size_t size, std::size_t count, void* self);
    std::size_t Queued() const { return queue_.size() - head_; }
    // Advances the transfer until at least wanted bytes are queued or it has ended.
    void PumpUntil(std::size_t wanted);
    [[noreturn]] void Fail() const;

    std::u16string url_;
    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    std::string queue_;
    std::size_t head_ = 0;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    std::uint64_t delivered_ = 0;
    std::uint64_t length_ = kUnknownUrlLength;
    char errorText_[CURL_ERROR_SIZE] = {};
};

std::size_t UrlSource::OnData(char* data, std::size_t size, std::size_t count, void* self) {
    auto* source = static_cast<UrlSource*>(self);
    source->queue_.append(data, size * count);
    return size * count;
}

void UrlSource::PumpUntil(std::size_t wanted) {
    while (!done_ && Queued() < wanted) {
        int running = 0;
        const CURLMcode code = curl_multi_perform(multi_, &running);
        if (code != CURLM_OK) {
            done_ = true;
            result_ = CURLE_FAILED_INIT;
            std::snprintf(errorText_, sizeof errorText_, "%s", curl_multi_strerror(code));
            break;
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg == CURLMSG_DONE) {
                done_ = true;
                result_ = message->data.result;
            }
        }
        if (done_ || Queued() >= wanted) break;
        curl_multi_poll(multi_, nullptr, 0, 100, nullptr);
    }
}

void UrlSource::Fail() const {
    std::u16string reason;
    if (result_ == CURLE_HTTP_RETURNED_ERROR) {
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        reason = u"the server answered with status " + Utf8ToUtf16(std::to_string(status)) + u".";
    } else {
        std::string text = errorText_[0] != 0 ? errorText_ : curl_easy_strerror(result_);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        if (!text.empty() && text.back() != '.') text.push_back('.');
        reason = Utf8ToUtf16(text);
    }
    throw CInternetException(url_, reason);
}

void UrlSource::Start(const std::string& url, const std::string& agent) {
    InitCurlOnce();
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (easy_ == nullptr || multi_ == nullptr) {
        throw CInternetException(url_, u"the internet session could not be created.");
    }
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &UrlSource::OnData);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
    // ASCII transfers where the protocol knows them (FTP); HTTP bodies pass unchanged.
    curl_easy_setopt(easy_, CURLOPT_TRANSFERTEXT, 1L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, 30L);
    // A source that delivers nothing for a minute has stalled.
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_multi_add_handle(multi_, easy_);

    // The response has begun once its first body bytes arrive (or it ended without any).
    // A failure after some of the body is raised when the reader gets there.
    PumpUntil(1);
    if (done_ && result_ != CURLE_OK && Queued() == 0) Fail();
    curl_off_t announced = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced >= 0) {
        length_ = static_cast<std::uint64_t>(announced);
    } else if (done_) {
        length_ = Queued();  // an ended source without a length: all of it is here
    }
}

std::int32_t UrlSource::Read(void* destination, std::int32_t count) {
    if (easy_ == nullptr) throw CFileException(CFileException::InvalidFile, url_);
    if (count <= 0) return 0;
    PumpUntil(static_cast<std::size_t>(count));
    const std::size_t n = std::min(Queued(), static_cast<std::size_t>(count));
    if (n == 0 && done_ && result_ != CURLE_OK) Fail();
    std::memcpy(destination, queue_.data() + head_, n);
    head_ += n;
    if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
    } else if (head_ > (1u << 20)) {
        queue_.erase(0, head_);
        head_ = 0;
    }
    delivered_ += n;
    return static_cast<std::int32_t>(n);
}

void UrlSource::Abort() noexcept {
    if (multi_ != nullptr && easy_ != nullptr) curl_multi_remove_handle(multi_, easy_);
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    easy_ = nullptr;
    multi_ = nullptr;
}

}  // namespace

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
    const std::optional<std::string> address = Utf16ToUtf8Strict(url);
    if (!address || address->empty() || address->find('\0') != std::string::npos) {
        throw CInternetException(std::u16string(url), u"the address is not valid.");
    }
    auto source = std::make_unique<UrlSource>(std::u16string(url));
    source->Start(*address, Utf16ToUtf8(agentName_));
    return source;
}
