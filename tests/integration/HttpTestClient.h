#pragma once
// Runs THttpCli requests on an event loop in the test's thread and records what the
// client reported.

#include "download/HttpProtqn.h"
#include "platform/EventLoop.h"

#include <chrono>
#include <string>

namespace tq::test {

struct HttpOutcome {
    bool completed = false;
    int error = -1;
    THttpRequest rqType = httpAbort;
    int status = 0;
    std::string reason;
    std::string body;
    int docBegins = 0, docEnds = 0, locationChanges = 0, headerLines = 0;
};

class HttpTestClient {
public:
    TEventLoop loop;
    THttpCli cli{loop};
    HttpOutcome out;

    HttpTestClient()
    {
        cli.OnDocBegin = [this](THttpCli*) { ++out.docBegins; };
        cli.OnDocEnd = [this](THttpCli*) { ++out.docEnds; };
        cli.OnDocData = [this](THttpCli*, const char* d, int32_t n) { out.body.append(d, size_t(n)); };
        cli.OnHeaderData = [this](THttpCli*) { ++out.headerLines; };
        cli.OnLocationChange = [this](THttpCli*) { ++out.locationChanges; };
        cli.OnRequestDone = [this](THttpCli* c, THttpRequest rq, int error) {
            out.completed = true;
            out.error = error;
            out.rqType = rq;
            out.status = c->StatusCode();
            out.reason = c->ReasonPhrase();
        };
    }

    void Target(int port, const std::string& path, const std::string& host = "127.0.0.1")
    {
        cli.TargetHost = host;
        cli.TargetPort = std::to_string(port);
        cli.TargetPath = path;
    }

    // Starts a request and waits for its completion; false on time-out.
    bool Run(THttpRequest rq = httpGET, std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        out = HttpOutcome{};
        switch (rq) {
        case httpHEAD: cli.HeadASync(); break;
        case httpPOST: cli.PostASync(); break;
        default: cli.GetASync(); break;
        }
        return Wait(timeout);
    }

    bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        return loop.PumpUntil([this] { return out.completed; }, timeout);
    }
};

} // namespace tq::test
