#include "filestream/internet_session.h"

// libcurl is loaded when the first URL is opened, not when the program starts: linked in, it and
// the libraries it pulls in (TLS, Kerberos, LDAP, SSH) cost every start about 7 ms, which a
// command run once per file in a script pays each time, for a source it hardly ever reads.
#define CURL_DISABLE_TYPECHECK  // its checking macros would call the linked functions
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "filestream/file_error.h"
#include "filestream/text_convert.h"

namespace {

// The functions of libcurl that URL sources call, once loaded.
struct CurlApi {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_multi_init) multi_init = nullptr;
    decltype(&curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&curl_multi_perform) multi_perform = nullptr;
    decltype(&curl_multi_info_read) multi_info_read = nullptr;
    decltype(&curl_multi_poll) multi_poll = nullptr;
    decltype(&curl_multi_strerror) multi_strerror = nullptr;
    decltype(&curl_multi_cleanup) multi_cleanup = nullptr;
};

// Loads libcurl once and initialises it; nothing when it cannot be loaded whole.
const CurlApi* Curl() {
    static const std::optional<CurlApi> api = []() -> std::optional<CurlApi> {
        void* library = ::dlopen(VYX_LIBCURL_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return std::nullopt;
        CurlApi loaded;
        bool whole = true;
        const auto take = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
                ::dlsym(library, name));
            whole = whole && function != nullptr;
        };
        take(loaded.global_init, "curl_global_init");
        take(loaded.easy_init, "curl_easy_init");
        take(loaded.easy_setopt, "curl_easy_setopt");
        take(loaded.easy_getinfo, "curl_easy_getinfo");
        take(loaded.easy_strerror, "curl_easy_strerror");
        take(loaded.easy_cleanup, "curl_easy_cleanup");
        take(loaded.multi_init, "curl_multi_init");
        take(loaded.multi_add_handle, "curl_multi_add_handle");
        take(loaded.multi_remove_handle, "curl_multi_remove_handle");
        take(loaded.multi_perform, "curl_multi_perform");
        take(loaded.multi_info_read, "curl_multi_info_read");
        take(loaded.multi_poll, "curl_multi_poll");
        take(loaded.multi_strerror, "curl_multi_strerror");
        take(loaded.multi_cleanup, "curl_multi_cleanup");
        if (!whole || loaded.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return std::nullopt;
        return loaded;  // the library stays loaded for the life of the process
    }();
    return api ? &*api : nullptr;
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
    const CurlApi* curl_ = nullptr;
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
        const CURLMcode code = curl_->multi_perform(multi_, &running);
        if (code != CURLM_OK) {
            done_ = true;
            result_ = CURLE_FAILED_INIT;
            std::snprintf(errorText_, sizeof errorText_, "%s", curl_->multi_strerror(code));
            break;
        }
        int left = 0;
        while (CURLMsg* message = curl_->multi_info_read(multi_, &left)) {
            if (message->msg == CURLMSG_DONE) {
                done_ = true;
                result_ = message->data.result;
            }
        }
        if (done_ || Queued() >= wanted) break;
        curl_->multi_poll(multi_, nullptr, 0, 100, nullptr);
    }
}

void UrlSource::Fail() const {
    std::u16string reason;
    if (result_ == CURLE_HTTP_RETURNED_ERROR) {
        long status = 0;
        curl_->easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        reason = u"the server answered with status " + Utf8ToUtf16(std::to_string(status)) + u".";
    } else {
        std::string text = errorText_[0] != 0 ? errorText_ : curl_->easy_strerror(result_);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        if (!text.empty() && text.back() != '.') text.push_back('.');
        reason = Utf8ToUtf16(text);
    }
    throw CInternetException(url_, reason);
}

void UrlSource::Start(const std::string& url, const std::string& agent) {
    curl_ = Curl();
    if (curl_ != nullptr) {
        easy_ = curl_->easy_init();
        multi_ = curl_->multi_init();
    }
    if (easy_ == nullptr || multi_ == nullptr) {
        throw CInternetException(url_, u"the internet session could not be created.");
    }
    curl_->easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_->easy_setopt(easy_, CURLOPT_USERAGENT, agent.c_str());
    curl_->easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
    curl_->easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &UrlSource::OnData);
    curl_->easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_->easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_->easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
    curl_->easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_->easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
    curl_->easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps");
    curl_->easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
    // ASCII transfers where the protocol knows them (FTP); HTTP bodies pass unchanged.
    curl_->easy_setopt(easy_, CURLOPT_TRANSFERTEXT, 1L);
    curl_->easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, 30L);
    // A source that delivers nothing for a minute has stalled.
    curl_->easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_->easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_->multi_add_handle(multi_, easy_);

    // The response has begun once its first body bytes arrive (or it ended without any).
    // A failure after some of the body is raised when the reader gets there.
    PumpUntil(1);
    if (done_ && result_ != CURLE_OK && Queued() == 0) Fail();
    curl_off_t announced = -1;
    curl_->easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
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
    if (multi_ != nullptr && easy_ != nullptr) curl_->multi_remove_handle(multi_, easy_);
    if (easy_ != nullptr) curl_->easy_cleanup(easy_);
    if (multi_ != nullptr) curl_->multi_cleanup(multi_);
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
