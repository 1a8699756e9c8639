// Runs a test in a given locale (LC_ALL) and restores the one before afterwards.
#pragma once

#include <clocale>
#include <string>

class ScopedLocale {
public:
    explicit ScopedLocale(const char* name) : m_saved(std::setlocale(LC_ALL, nullptr)) {
        m_ok = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, m_saved.c_str()); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

    bool ok() const { return m_ok; }

private:
    std::string m_saved;
    bool m_ok;
};
