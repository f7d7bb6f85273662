// Collects the messages of what reaches the application's error report
// while it lives, and restores the default report afterwards.
#pragma once

#include "base/MessageQueue.h"

#include <exception>
#include <string>
#include <vector>

namespace sio::test {

class TReportedErrors {
public:
    TReportedErrors()
    {
        SetExceptionReporter([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                reported.push_back(x.what());
            } catch (...) {
                reported.push_back("(not a std::exception)");
            }
        });
    }
    ~TReportedErrors() { SetExceptionReporter(nullptr); }
    TReportedErrors(const TReportedErrors&) = delete;
    TReportedErrors& operator=(const TReportedErrors&) = delete;

    // The report runs on the main thread, as the test does.
    std::vector<std::string> reported;
};

}  // namespace sio::test
