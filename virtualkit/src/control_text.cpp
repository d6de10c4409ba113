#include "control_text.h"

#include "kit.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace virtualkit {

bool split_words(std::string_view line, size_t max_words, std::vector<std::string> *words) {
    words->clear();
    for (unsigned char c : line)
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return false;
    size_t i = 0;
    while (i < line.size() && words->size() < max_words) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t')
            ++j;
        if (j > i)
            words->emplace_back(line.substr(i, j - i));
        i = j;
    }
    return true;
}

std::string printable(std::string_view word, size_t max) {
    std::string out;
    for (size_t i = 0; i < word.size() && i < max; ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return out;
}

bool parse_unsigned(std::string_view word, int base, unsigned max, unsigned *value) {
    if (base == 16 && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
        word.remove_prefix(2);
    if (word.empty() || word.size() > 10)
        return false;
    unsigned long long v = 0;
    for (char ch : word) {
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            return false;
        if (d >= base)
            return false;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (v > max)
        return false;
    *value = static_cast<unsigned>(v);
    return true;
}

bool parse_on_off(std::string_view word, bool *on) {
    if (word != "on" && word != "off")
        return false;
    *on = word == "on";
    return true;
}

bool parse_group(std::string_view word, unsigned *group) {
    if (word == "0" || word == "A" || word == "a")
        *group = 0;
    else if (word == "1" || word == "B" || word == "b")
        *group = 1;
    else
        return false;
    return true;
}

bool parse_real(std::string_view word, double *value) {
    if (word.empty() || word.size() > 32)
        return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc() || end != word.data() + word.size() || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

bool parse_version(std::string_view word, uint32_t *version) {
    unsigned part[3];
    for (int i = 0; i < 3; ++i) {
        const size_t dot = i < 2 ? word.find('.') : word.size();
        if (dot == std::string_view::npos ||
            !parse_unsigned(word.substr(0, dot), 10, 255, &part[i]))
            return false;
        word.remove_prefix(i < 2 ? dot + 1 : dot);
    }
    *version = version_word(part[0], part[1], part[2]);
    return true;
}

std::string version_text(uint32_t version) {
    if (version == kNoVersion)
        return "none";
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u", (version >> 16) & 0xFF, (version >> 8) & 0xFF,
                  version & 0xFF);
    return text;
}

std::string hex_bytes(const uint8_t *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string format_ms(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    return text;
}

std::string fit_answer(const std::string &answer, size_t size) {
    if (size == 0)
        return {};
    if (answer.size() < size)
        return answer;
    // The closing line is the one after the second-last newline.
    const size_t body_end =
        answer.size() >= 2 ? answer.rfind('\n', answer.size() - 2) : std::string::npos;
    const std::string last = body_end == std::string::npos ? answer : answer.substr(body_end + 1);
    static const std::string kMore = "...\n";
    if (last.size() + kMore.size() >= size)
        return last.size() < size ? last : answer.substr(0, size - 1);
    const size_t budget = size - 1 - last.size() - kMore.size();
    const size_t cut = budget == 0 ? std::string::npos : answer.rfind('\n', budget - 1);
    const std::string kept = cut == std::string::npos ? std::string() : answer.substr(0, cut + 1);
    return kept + kMore + last;
}

} // namespace virtualkit
