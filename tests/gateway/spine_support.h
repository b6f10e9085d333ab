// A settings table of the gateway's keys loaded from a text, in a file of its own; a
// Gateway whose settings are loaded from a file or a text.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "foundation/sini.h"
#include "gateway/gateway.h"
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

// Loads the settings file at path into gw in place of what it held; false when it cannot
// be read.
inline bool gateway_load_settings(Gateway& gw, const std::string& path) {
    sini_free(gw.settings);
    gw.settings = sini_init(_settings);
    return sini_load(gw.ini(), path, nullptr) == 1;
}

// A Gateway with the settings of text (nothing else is open); null when the text cannot
// be loaded.
inline std::unique_ptr<Gateway> gateway_from_text(const std::string& text) {
    static int serial = 0;
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("tv_gateway_" + std::to_string(::getpid()) + "_" + std::to_string(++serial) + ".ini");
    std::ofstream(path) << text;
    auto gw = std::make_unique<Gateway>();
    const bool ok = gateway_load_settings(*gw, path.string());
    std::filesystem::remove(path);
    return ok ? std::move(gw) : nullptr;
}

}  // namespace tolvane::testing_support
