#include "platform/HttpFetcher.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

#include "platform/Thread.h"

namespace tw {

namespace {

constexpr const char* kAgent = "RiZiradizUv";
// How long destruction waits for cancelled workers; a transfer sees the cancel within about a second.
constexpr auto kCancelWait = std::chrono::seconds(3);

void InitCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The body as it arrives: sized once from the stated length, and the transfer ends when it is full.
struct Body {
    CURL* curl = nullptr;
    std::string data;
    size_t capacity = 0;
    bool sized = false;
    bool full = false;
};

size_t WriteBody(char* bytes, size_t size, size_t count, void* context) {
    auto* body = static_cast<Body*>(context);
    if (!body->sized) {
        curl_off_t length = -1;
        curl_easy_getinfo(body->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        body->capacity = length < 0 ? CHttpFetcher::kDefaultBody
                                    : std::min(static_cast<size_t>(length), CHttpFetcher::kMaxBody);
        body->sized = true;
    }
    size_t total = size * count;
    size_t room = body->capacity - body->data.size();
    body->data.append(bytes, std::min(total, room));
    if (total > room) {
        body->full = true;
        return 0;  // ends the transfer; what fits is the answer
    }
    return total;
}

// Progress callback: a non-zero result aborts the transfer.
int AbortWhenCancelled(void* cancelled, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::atomic<bool>*>(cancelled)->load() ? 1 : 0;
}

// A URL handle for `url` when it parses and names a host.
CURLU* ParseUrl(const std::string& url) {
    CURLU* parsed = curl_url();
    char* host = nullptr;
    if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host) {
        curl_free(host);
        return parsed;
    }
    curl_free(host);
    curl_url_cleanup(parsed);
    return nullptr;
}

}  // namespace

std::string UrlEncode(const std::string& text) {
    InitCurl();
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    if (!escaped) return {};
    std::string result(escaped);
    curl_free(escaped);
    return result;
}

CHttpFetcher::CHttpFetcher() : shared_(std::make_shared<Shared>()) { InitCurl(); }

CHttpFetcher::~CHttpFetcher() {
    std::unique_lock lock(shared_->mutex);
    shared_->target = nullptr;
    shared_->cancelled = true;
    // Bounded: a program's exit never hangs on a request, and rarely leaves a worker inside libcurl.
    shared_->ended.wait_for(lock, kCancelWait, [this] { return shared_->running == 0; });
}

void CHttpFetcher::SetNotifyTarget(MessageTarget* target) {
    std::lock_guard lock(shared_->mutex);
    shared_->target = target;
}

void CHttpFetcher::SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total) {
    connectTimeout_ = connect;
    totalTimeout_ = total;
}

std::string CHttpFetcher::Response() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->response;
}

void CHttpFetcher::Fetch(const std::string& url, uintptr_t tag) {
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->target) return;
        ++shared_->running;
    }
    long connectMs = static_cast<long>(connectTimeout_.count());
    long totalMs = static_cast<long>(totalTimeout_.count());
    auto worker = StartThread([shared = shared_, url, tag, connectMs, totalMs] {
        RequestWorker(shared, url, tag, connectMs, totalMs);
    });
    // Without a thread the request fails like one that could not be sent.
    if (!worker) {
        std::lock_guard lock(shared_->mutex);
        --shared_->running;
        shared_->target->Post(WM_MYIP_DONE, tag, 1);
    }
}

void CHttpFetcher::RequestWorker(std::shared_ptr<Shared> shared, std::string url, uintptr_t tag, long connectMs,
                                 long totalMs) {
    CURLU* parsed = ParseUrl(url);  // no host: nothing is posted
    CURL* curl = parsed ? curl_easy_init() : nullptr;
    bool ok = false;
    Body body;
    body.curl = curl;
    if (curl) {
        curl_slist* headers = curl_slist_append(nullptr, "Pragma: no-cache");
        headers = curl_slist_append(headers, "Cache-Control: no-cache");
        curl_easy_setopt(curl, CURLOPT_CURLU, parsed);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_USERAGENT, kAgent);
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM for name look-ups on a worker
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, totalMs);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, AbortWhenCancelled);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &shared->cancelled);
        CURLcode rc = curl_easy_perform(curl);
        ok = rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && body.full);
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
    }
    curl_url_cleanup(parsed);

    std::lock_guard lock(shared->mutex);
    if (ok) shared->response = std::move(body.data);
    if (parsed && shared->target) shared->target->Post(WM_MYIP_DONE, tag, ok ? 0 : 1);
    --shared->running;
    shared->ended.notify_all();
}

}  // namespace tw
