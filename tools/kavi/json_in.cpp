// json_in.cpp — a reader for the one shape of JSON that kavi prints: an object whose values are
// strings, numbers, booleans, null or objects of the same kind.
#include "tools/kavi/json_in.h"

#include <cctype>
#include <cstdlib>

namespace kavitool {

namespace {

constexpr int MAX_DEPTH = 4;

class Reader {
  public:
    Reader(std::string_view text, std::vector<std::pair<std::string, std::string>> *out)
        : text_(text), out_(out) {}

    bool document(std::string *error) {
        bool ok = object(0) && (skip(), at_ == text_.size());
        if (!ok) *error = "not a JSON object of fields, at byte " + std::to_string(at_);
        return ok;
    }

  private:
    void skip() {
        while (at_ < text_.size() && isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    bool take(char c) {
        skip();
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    static void utf8(unsigned code, std::string *out) {
        // kavi escapes single bytes as \u00XX; those come back as the bytes they were.
        if (code < 0x100) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool string(std::string *out) {
        if (!take('"')) return false;
        while (at_ < text_.size()) {
            char c = text_[at_++];
            if (c == '"') return true;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            char e = text_[at_++];
            switch (e) {
                case 'n':
                    *out += '\n';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'u': {
                    if (at_ + 4 > text_.size()) return false;
                    std::string digits(text_.substr(at_, 4));
                    char *end = nullptr;
                    unsigned long code = strtoul(digits.c_str(), &end, 16);
                    if (*end != '\0' || !isxdigit(static_cast<unsigned char>(digits[0])))
                        return false;
                    at_ += 4;
                    utf8(static_cast<unsigned>(code), out);
                    break;
                }
                default:
                    *out += e;  // \" \\ \/
            }
        }
        return false;
    }
    bool scalar(std::string *out, bool *is_null) {
        skip();
        size_t start = at_;
        while (at_ < text_.size() && (isalnum(static_cast<unsigned char>(text_[at_])) ||
                                      text_[at_] == '-' || text_[at_] == '+' || text_[at_] == '.'))
            ++at_;
        *out = std::string(text_.substr(start, at_ - start));
        *is_null = *out == "null";
        return !out->empty();
    }
    bool object(int depth) {
        if (depth > MAX_DEPTH || !take('{')) return false;
        if (take('}')) return true;
        do {
            std::string name, value;
            if (!string(&name) || !take(':')) return false;
            skip();
            if (at_ < text_.size() && text_[at_] == '{') {
                if (!object(depth + 1)) return false;
                continue;
            }
            bool is_null = false;
            if (at_ < text_.size() && text_[at_] == '"') {
                if (!string(&value)) return false;
            } else if (!scalar(&value, &is_null)) {
                return false;
            }
            if (!is_null) out_->emplace_back(name, value);
        } while (take(','));
        return take('}');
    }

    std::string_view text_;
    std::vector<std::pair<std::string, std::string>> *out_;
    size_t at_ = 0;
};

}  // namespace

bool read_json_fields(std::string_view json, std::vector<std::pair<std::string, std::string>> *out,
                      std::string *error) {
    return Reader(json, out).document(error);
}

}  // namespace kavitool
