// A debug-level log in a private directory, made current for one test, so that tests
// can check the exact log lines the mail path promises.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/log.h"

namespace tolvane {

class LogCapture {
  public:
    LogCapture() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "mailtextXXXXXX").string();
        dir_ = mkdtemp(tmpl.data());
        path_ = dir_ + "/test.log";
        log_ = log_init(LOG_DEBUG);
        log_doflush(log_.get(), 1);
        log_open(log_.get(), path_);
        log_set(log_.get());
    }
    ~LogCapture() {
        log_free(log_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    // The message part of every line written so far (after "Debug: " and the like).
    std::vector<std::string> messages() {
        log_flush(log_.get());
        std::vector<std::string> out;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            std::size_t p = line.find("] ");
            std::size_t c = p == std::string::npos ? p : line.find(": ", p);
            out.push_back(c == std::string::npos ? line : line.substr(c + 2));
        }
        return out;
    }
    bool has(const std::string& msg) {
        for (const std::string& m : messages())
            if (m == msg) return true;
        return false;
    }

  private:
    std::string dir_, path_;
    std::unique_ptr<Log> log_;
};

}  // namespace tolvane
