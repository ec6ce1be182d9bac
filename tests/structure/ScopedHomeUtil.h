#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

// The logs write under HOME, so a test that opens them gets a HOME of its own for its
// lifetime; the previous value comes back afterwards.
class ScopedHome {
public:
    ScopedHome() {
        if (const char* old = std::getenv("HOME")) m_Saved = old;
        char pattern[] = "/tmp/tolvane-structure-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) m_Home = pattern;
        ::setenv("HOME", m_Home.c_str(), 1);
    }
    ~ScopedHome() {
        if (m_Saved)
            ::setenv("HOME", m_Saved->c_str(), 1);
        else
            ::unsetenv("HOME");
        std::error_code ec;
        std::filesystem::remove_all(m_Home, ec);
    }
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;
    const std::string& Path() const { return m_Home; }

private:
    std::string m_Home;
    std::optional<std::string> m_Saved;
};
