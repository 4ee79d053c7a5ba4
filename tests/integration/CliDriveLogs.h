#pragma once
// Looking into the per-connection logs a job driver kept.

#include <string>
#include <vector>

namespace tq::test {

inline bool Logged(const std::vector<std::vector<std::string>>& logs, const std::string& text)
{
    for (const auto& log : logs)
        for (const auto& line : log)
            if (line.find(text) != std::string::npos)
                return true;
    return false;
}

} // namespace tq::test
