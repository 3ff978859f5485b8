#pragma once

#include "serviceoptions.h"
#include "wire/wirerecords.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http/verb.hpp>
#include <boost/system/error_code.hpp>

#include <memory>
#include <string>

// What the service answers after asking the model: the explanation, or a status and one sentence that tells
// the person in front of the card what went wrong and, where there is one, what to do.
struct UpstreamAnswer {
    int status = 200;
    QString text;
    const char* outcome = "ok"; // for the log: ok, unreachable, timeout, key-refused, rate-limited, failed, unreadable
};

// The OpenAI-compatible Chat Completions endpoint the explanations come from. One connection per request,
// every step bounded by the one time-out, on the caller's executor; no thread waits on the model.
class Upstream {
public:
    static constexpr std::size_t maxAnswerBytes = 8 * 1024 * 1024;

    explicit Upstream(const ServiceOptions& options);

    boost::asio::awaitable<UpstreamAnswer> explain(const ExplainRequest& request);
    // Without a configured model, asks GET {base}/models once for the first one listed and keeps it.
    boost::asio::awaitable<UpstreamAnswer> ensureModel();
    QString model() const { return m_model; }

private:
    struct Exchange {
        boost::system::error_code error;
        int status = 0;
        std::string body;
    };
    boost::asio::awaitable<Exchange> exchange(boost::beast::http::verb verb, std::string path, std::string body);
    UpstreamAnswer transportFailure(const boost::system::error_code& error) const;
    UpstreamAnswer statusFailure(int status) const;
    UpstreamAnswer unreadable() const;

    QString m_display;
    bool m_isDefault = false;
    std::string m_host;
    std::string m_port;
    std::string m_hostHeader;
    std::string m_basePath;
    std::string m_authorization;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<boost::asio::ssl::context> m_tls; // only for https
    QString m_model;
};
