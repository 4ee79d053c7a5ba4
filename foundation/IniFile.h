#pragma once
// Profile files: "[Section]" lines and "key=value" lines; section and key names
// compare ASCII case-insensitively. Every write rewrites the file through a
// temporary sibling (mode 0600) renamed over the old one.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tq {

// Reversible escaping of keys and values: " " -> "_", "_" -> "__", and "_ " + two
// hex digits for bytes that would break the line form.
std::string EncodeIniText(std::string_view text);
std::string DecodeIniText(std::string_view text);

// A blank key writes nothing and returns false.
bool IniWriteRaw(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& fileName);
bool IniWriteInt(const std::string& section, const std::string& key, int64_t number,
                 const std::string& fileName);
// Key and value are stored escaped.
bool IniWriteText(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& fileName);

// A missing or empty value reads as defaultValue; with writeBack a non-empty default
// is then stored.
std::string IniReadRaw(const std::string& section, const std::string& key,
                       const std::string& defaultValue, bool writeBack,
                       const std::string& fileName);
std::string IniReadText(const std::string& section, const std::string& key,
                        const std::string& defaultValue, bool writeBack,
                        const std::string& fileName);
// A missing or non-numeric value reads as defaultValue.
int64_t IniReadInt(const std::string& section, const std::string& key, int64_t defaultValue,
                   const std::string& fileName);

// Appends the key names as stored (trimmed, still escaped, at least two characters)
// of section to list; returns list.size(), 0 when the file does not exist.
int IniReadKeys(const std::string& fileName, const std::string& section,
                std::vector<std::string>& list);

} // namespace tq
