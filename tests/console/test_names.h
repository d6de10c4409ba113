// Readable names for table-driven test cases: the case's text, with
// everything but letters and digits turned into "_", behind its index.
#pragma once

#include <cctype>
#include <string>

inline std::string case_name(size_t index, const char *text) {
    std::string name = std::to_string(index) + "_";
    for (const char *p = text; *p && name.size() < 40; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}
