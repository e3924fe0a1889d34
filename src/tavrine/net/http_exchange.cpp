#include "tavrine/net/http_exchange.h"

#include "tavrine/base/console.h"
#include "tavrine/platform/memory.h"
#include "tavrine/platform/stop_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace http {

Error failureFromCurl(int curl_code, long os_errno, bool connected) noexcept {
  // The operating system's reason, when it is one of the network failures;
  // the general name otherwise.
  const auto refined = [&](Error fallback) {
    switch (const Error reason = errorFromErrno(static_cast<int>(os_errno))) {
      case Error::ConnectionRefused:
      case Error::ConnectionResetByPeer:
      case Error::NetworkUnreachable:
      case Error::HostUnreachable:
      case Error::Timeout:
      case Error::BrokenPipe:
        return reason;
      default:
        return fallback;
    }
  };
  switch (static_cast<CURLcode>(curl_code)) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Once connected, this is libcurl refusing an answer without a status
      // line (HTTP/0.9): bytes that are not HTTP, not the URL's scheme.
      return connected ? Error::MalformedResponse : Error::UnsupportedUriScheme;
    case CURLE_URL_MALFORMAT:
      return Error::InvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return Error::NameResolutionFailed;
    case CURLE_COULDNT_CONNECT:
      return refined(Error::ConnectionFailed);
    case CURLE_OPERATION_TIMEDOUT:
      return connected ? Error::TransferStalled : Error::Timeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_USE_SSL_FAILED:
      return Error::TlsInitializationFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return Error::CertificateVerificationFailed;
    case CURLE_TOO_MANY_REDIRECTS:
      return Error::TooManyRedirects;
    case CURLE_FILESIZE_EXCEEDED:
      return Error::ResponseTooLarge;
    case CURLE_SEND_ERROR:
      return refined(Error::SendFailed);
    case CURLE_RECV_ERROR:
      return refined(Error::ReceiveFailed);
    case CURLE_GOT_NOTHING:
      return Error::EmptyResponse;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
      return Error::MalformedResponse;
    case CURLE_PARTIAL_FILE:
      return Error::TruncatedResponse;
    case CURLE_BAD_CONTENT_ENCODING:
      return Error::DecompressionFailed;
    case CURLE_OUT_OF_MEMORY:
      return Error::OutOfMemory;
    default:
      return Error::Unexpected;
  }
}

namespace {

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

// How much later libcurl's own overall timer is set than the deadline.
constexpr std::chrono::milliseconds kTimerMargin{1000};

// Set when an exchange held a large answer, cleared when its memory was
// given back.
std::atomic<bool> large_answer_held{false};

// Where the response body goes; refuses to grow past `limit`.
struct Sink {
  Sink() = default;
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  ~Sink() {
    if (largest >= kLargeAnswer) large_answer_held.store(true, std::memory_order_relaxed);
  }
  std::string body;
  size_t limit = 0;
  size_t largest = 0;         // the most bytes the body held
  bool cut_at_limit = false;  // too much ends the exchange without failing it
  // The stall bound, and when a byte last moved either way.
  std::chrono::steady_clock::duration stall_timeout{};
  std::chrono::steady_clock::time_point last_progress{};
  curl_off_t last_down = 0;
  curl_off_t last_up = 0;
  // The end of the whole exchange, redirects included.
  std::chrono::steady_clock::time_point deadline{};
  bool stalled = false;
  bool timed_out = false;
  bool canceled = false;  // the process was asked to stop
  bool too_large = false;
  bool out_of_memory = false;
  bool connected = false;  // the connection (TLS included) was established

  // Each step of a redirect chain is a transfer of its own: its counters
  // start at zero, and only the last step's body is the answer.
  void startStep() {
    body.clear();
    last_progress = std::chrono::steady_clock::now();
    last_down = 0;
    last_up = 0;
    connected = false;
  }
};

#if LIBCURL_VERSION_NUM >= 0x075000
int onConnected(void* user, char*, char*, int, int) noexcept {
  static_cast<Sink*>(user)->connected = true;
  return CURL_PREREQFUNC_OK;
}
#endif

// Fails the transfer once no byte has moved for the stall bound since the
// connection was made. libcurl's own low-speed check averages over several
// seconds, so after a burst of bytes it would let a silent peer hold the
// transfer several times the bound.
//
// A stop request ends the transfer as well: SIGTERM during registration or a
// token exchange must not wait for a slow backend.
int onProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) noexcept {
  auto* sink = static_cast<Sink*>(user);
  if (platform::stopRequested()) {
    sink->canceled = true;
    return 1;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now >= sink->deadline) {
    sink->timed_out = true;
    return 1;
  }
  if (!sink->connected || down != sink->last_down || up != sink->last_up) {
    sink->last_progress = now;
    sink->last_down = down;
    sink->last_up = up;
    return 0;
  }
  if (now - sink->last_progress < sink->stall_timeout) return 0;
  sink->stalled = true;
  return 1;  // Aborts the transfer with CURLE_ABORTED_BY_CALLBACK.
}

size_t writeBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (bytes > sink->limit - sink->body.size()) {
    sink->too_large = true;
    if (sink->cut_at_limit) {
      try {
        sink->body.append(data, sink->limit - sink->body.size());
      } catch (const std::bad_alloc&) {
        sink->out_of_memory = true;
      }
      sink->largest = std::max(sink->largest, sink->body.size());
    }
    return 0;  // Aborts the transfer with CURLE_WRITE_ERROR.
  }
  try {
    sink->body.append(data, bytes);
  } catch (const std::bad_alloc&) {
    sink->out_of_memory = true;
    return 0;
  }
  sink->largest = std::max(sink->largest, sink->body.size());
  return bytes;
}

// Whether `url` starts with `scheme` and "://", in any case.
bool hasScheme(std::string_view url, std::string_view scheme) noexcept {
  if (url.size() < scheme.size() + 3 || url.substr(scheme.size(), 3) != "://") return false;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
  }
  return true;
}

// The statuses a GET follows; 300 and 304 are answers of their own.
bool isFollowedRedirect(long status) noexcept {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Appends "Name: value" to the list; false when memory ran out.
bool appendHeader(std::unique_ptr<curl_slist, SlistDeleter>& list, std::string_view name,
                  std::string_view value) {
  std::string line;
  try {
    line.reserve(name.size() + 2 + value.size());
    line.append(name);
    // "Name;" is curl's spelling of a header sent with an empty value;
    // "Name:" would remove the header instead.
    if (value.empty()) {
      line += ";";
    } else {
      line += ": ";
      line.append(value);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  (void)list.release();
  list.reset(grown);
  return true;
}

// The options that follow from the request's settings alone (see
// Client::Settings), not from its URL, body, headers or sink.
Result<void> setFixedOptions(CURL* h, const detail::Request& request) {
  const Limits& limits = request.limits;
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  // Never a proxy, whatever the environment says.
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  // Advertise and decode every content encoding this libcurl supports,
  // unless nobody reads the answer.
  if (request.offer_encodings) curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  // Certificates are verified against the system's trust store, host included.
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!limits.trusted_certificates.empty()) {
    // libcurl keeps its own copy of the path.
    std::string ca_file;
    try {
      ca_file.assign(limits.trusted_certificates);
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
    if (curl_easy_setopt(h, CURLOPT_CAINFO, ca_file.c_str()) == CURLE_OUT_OF_MEMORY) {
      return fail(Error::OutOfMemory);
    }
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
  }
  // Never below TLS 1.2, whatever this libcurl or the system's TLS settings
  // would allow.
  curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  // Bounds.
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect_timeout.count()));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stall_timeout.count()));
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  // A Content-Length past the bound is refused before its body comes; when
  // the caller wants the start of such an answer, the writer cuts it instead.
  if (!limits.cut_at_limit) {
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_response));
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeBody);
#if LIBCURL_VERSION_NUM >= 0x075000
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &onConnected);
#endif
  if (request.post) {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }
  // Redirects are followed here rather than by libcurl, which checks each
  // step's scheme on its own: it would let https lead to http, and cannot
  // tell a refused scheme from an answer that is not HTTP.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  return {};
}

}  // namespace

namespace detail {

Result<HttpResponse> perform(const Request& request) {
  if (platform::stopRequested()) return fail(Error::Canceled);
  globalInit();
  const Limits& limits = request.limits;
  std::unique_ptr<CURL, EasyDeleter> easy;
  CURL* h = nullptr;
  Client* client = request.client;
  Client::Settings wanted;
  bool configure = true;
  if (client != nullptr) {
    try {
      wanted = {.connect_timeout = limits.connect_timeout,
                .stall_timeout = limits.stall_timeout,
                .trusted_certificates = std::string(limits.trusted_certificates),
                .max_response = request.max_response,
                .cut_at_limit = limits.cut_at_limit,
                .offer_encodings = request.offer_encodings,
                .post = request.post};
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
    if (client->easy_ == nullptr) {
      client->easy_ = curl_easy_init();
    } else if (client->configured_ && client->settings_ == wanted) {
      configure = false;
    } else {
      // Back to a fresh handle's options, keeping its live connections and
      // its DNS and TLS session caches; the last request's pointers go too.
      curl_easy_reset(client->easy_);
    }
    h = client->easy_;
  } else {
    easy.reset(curl_easy_init());
    h = easy.get();
  }
  if (h == nullptr) return fail(Error::OutOfMemory);

  std::unique_ptr<curl_slist, SlistDeleter> list;
  for (const auto& header : request.headers) {
    if (!appendHeader(list, header.name, header.value)) return fail(Error::OutOfMemory);
  }
  // No automatic "Expect: 100-continue" (an empty "Expect:" removes it).
  curl_slist* grown = curl_slist_append(list.get(), "Expect:");
  if (grown == nullptr) return fail(Error::OutOfMemory);
  (void)list.release();
  list.reset(grown);

  std::string url_text;
  try {
    url_text.assign(request.url);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }

  Sink sink;
  sink.limit = request.max_response;
  sink.cut_at_limit = limits.cut_at_limit;
  sink.stall_timeout = limits.stall_timeout;
  sink.deadline = std::chrono::steady_clock::now() + limits.total_timeout;

  if (configure) {
    if (client != nullptr) client->configured_ = false;
    if (auto set = setFixedOptions(h, request); !set) return fail(set.error());
    if (client != nullptr) {
      client->settings_ = std::move(wanted);
      client->configured_ = true;
    }
  }
  // This request's own: the sink its callbacks write to, its headers and
  // body.
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &sink);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
#if LIBCURL_VERSION_NUM >= 0x075000
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &sink);
#endif
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  if (request.post) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
  }

  const auto failed = [&](Error failure) -> Result<HttpResponse> {
    console::error("{} failed: {}", request.failure_label, errorName(failure));
    return fail(Error::RequestFailed);
  };
  bool secure_before = false;
  for (int redirects = 0;; ++redirects) {
    // libcurl's own overall timeout backs the progress check up in phases
    // where it might not be called (name resolution). It is set a second
    // later, since its timer and the check's clock need not agree to the
    // millisecond; past the deadline either one is the overall bound.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        sink.deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return failed(Error::TransferTimedOut);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>((left + kTimerMargin).count()));
    curl_easy_setopt(h, CURLOPT_URL, url_text.c_str());
    secure_before = secure_before || hasScheme(url_text, "https");
    sink.startStep();
    const CURLcode code = curl_easy_perform(h);
    const bool cut = sink.cut_at_limit && sink.too_large && !sink.out_of_memory;
    if (code != CURLE_OK && !cut) {
      if (sink.out_of_memory || code == CURLE_OUT_OF_MEMORY) return fail(Error::OutOfMemory);
      if (sink.canceled) return fail(Error::Canceled);
      if (sink.too_large) return failed(Error::ResponseTooLarge);
      if (sink.timed_out ||
          (code == CURLE_OPERATION_TIMEDOUT && std::chrono::steady_clock::now() >= sink.deadline)) {
        return failed(Error::TransferTimedOut);
      }
      if (sink.stalled) return failed(Error::TransferStalled);
      long os_errno = 0;
      curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &os_errno);
#if LIBCURL_VERSION_NUM < 0x075000
      curl_off_t connect_time = 0;
      curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connect_time);
      sink.connected = connect_time > 0;
#endif
      return failed(failureFromCurl(code, os_errno, sink.connected));
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    const char* location = nullptr;
    if (request.max_redirects > 0 && isFollowedRedirect(status)) {
      // The target as libcurl resolved it against this step's URL.
      curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location);
    }
    if (location == nullptr || cut) {
      HttpResponse response;
      response.status = static_cast<uint16_t>(status);
      response.body = std::move(sink.body);
      response.truncated = cut;
      return response;
    }
    if (redirects == request.max_redirects) return failed(Error::TooManyRedirects);
    if (const auto refused = redirectRefusal(location, secure_before)) return failed(*refused);
    try {
      url_text.assign(location);
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
  }
}

std::optional<Error> redirectRefusal(std::string_view to, bool secure_before) noexcept {
  if (hasScheme(to, "https")) return std::nullopt;
  if (!hasScheme(to, "http")) return Error::UnsupportedUriScheme;
  if (secure_before) return Error::InsecureRedirect;
  return std::nullopt;
}

}  // namespace detail

Client::~Client() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
}

void releaseLargeAnswerMemory() noexcept {
  if (large_answer_held.exchange(false, std::memory_order_relaxed)) platform::releaseFreedMemory();
}

}  // namespace http
