// A settings table of the gateway's keys loaded from a text, in a file of its own.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "foundation/sini.h"
#include "gateway/keys.h"

namespace tolvane::testing_support {

class IniFile {
  public:
    explicit IniFile(const std::string& text) {
        static int serial = 0;
        path_ = std::filesystem::temp_directory_path() / ("tv_spine_" + std::to_string(::getpid()) +
                                                          "_" + std::to_string(++serial) + ".ini");
        std::ofstream(path_) << text;
        ini_ = sini_init(_settings);
        ok_ = sini_load(ini_.get(), path_.string(), nullptr) == 1;
    }
    ~IniFile() {
        sini_free(ini_);
        std::filesystem::remove(path_);
    }
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;
    SIni* get() const { return ini_.get(); }
    bool ok() const { return ok_; }

  private:
    std::filesystem::path path_;
    std::unique_ptr<SIni> ini_;
    bool ok_ = false;
};

}  // namespace tolvane::testing_support
