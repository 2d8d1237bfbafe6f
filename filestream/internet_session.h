#pragma once
// Internet access for URL sources: a session that opens a URL as a readable, pull-driven source.

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "filestream/platform_file.h"

// The error of an internet source: it could not be opened, or failed while being read.
class CInternetException : public std::exception {
  public:
    CInternetException(std::u16string url, std::u16string reason);

    std::u16string url;
    std::u16string reason;

    // e.g. u"http://127.0.0.1:1/x could not be read: Couldn't connect to server."
    std::u16string Message() const;
    const char* what() const noexcept override;

  private:
    std::string utf8Message_;
};

class CInternetSession {
  public:
    // agentName is sent as the user agent. The proxy settings are the system's (environment).
    explicit CInternetSession(std::u16string agentName = u"VYX Encryption");
    ~CInternetSession();
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;

    // Opens url and waits for its response to begin. The returned source reads the body;
    // GetLength() is the announced length, or UINT64_MAX when the response announces none.
    // Throws CInternetException when the source cannot be opened (also on HTTP error statuses).
    std::unique_ptr<IPlatformFile> OpenUrl(std::u16string_view url);

  private:
    std::u16string agentName_;
};

// GetLength() of a URL source that announces no length.
inline constexpr std::uint64_t kUnknownUrlLength = ~std::uint64_t{0};
