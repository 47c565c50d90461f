#include "Arguments.h"

#include <charconv>
#include <cstring>

namespace {

// A decimal 32-bit number, the whole of `text`.
bool parseStatus(const char* text, status_t* out)
{
    auto [end, error] = std::from_chars(text, text + std::strlen(text), *out);
    return error == std::errc() && *end == '\0';
}

} // namespace

bool unescape(const char* text, String16* out, std::string* error)
{
    std::u16string units;
    const char* plain = text;
    auto flushPlain = [&](const char* upTo) {
        String16 decoded(plain, size_t(upTo - plain));
        units.append(decoded.view());
    };
    for (const char* p = text; *p;) {
        if (*p != '\\') {
            ++p;
            continue;
        }
        flushPlain(p);
        if (p[1] == '\\') {
            units.push_back(u'\\');
            p += 2;
        } else if (uint16_t unit = 0; p[1] == 'u' && strnlen(p + 2, 4) == 4 &&
                                  std::from_chars(p + 2, p + 6, unit, 16).ptr == p + 6) {
            units.push_back(char16_t(unit));
            p += 6;
        } else {
            *error = std::string("bad escape in '") + text + "' (use \\\\ or \\uHHHH)";
            return false;
        }
        plain = p;
    }
    flushPlain(plain + std::strlen(plain));
    *out = String16(std::move(units));
    return true;
}

bool parseArguments(int argc, char** argv, std::vector<ServiceSpec>* specs, std::string* error)
{
    specs->clear();
    for (int i = 0; i < argc; i += 2) {
        std::string option = argv[i];
        if (option != "--service" && option != "--interface" && option != "--query-status" &&
            option != "--status" && option != "--allow-uid") {
            *error = "unknown option '" + option + "'";
            return false;
        }
        if (i + 1 >= argc) {
            *error = "option " + option + " needs a value";
            return false;
        }
        const char* value = argv[i + 1];
        if (option == "--service") {
            specs->emplace_back();
            if (!unescape(value, &specs->back().name, error))
                return false;
            continue;
        }
        if (specs->empty()) {
            *error = "option " + option + " must follow --service";
            return false;
        }
        ServiceSpec& spec = specs->back();
        if (option == "--interface") {
            if (!unescape(value, &spec.interfaceName, error))
                return false;
        } else if (option == "--allow-uid") {
            status_t uid;
            if (!parseStatus(value, &uid) || uid < 0) {
                *error = "bad uid '" + std::string(value) + "' for --allow-uid";
                return false;
            }
            spec.allowedUids.push_back(uid_t(uid));
        } else if (!parseStatus(value, option == "--status" ? &spec.status : &spec.queryStatus)) {
            *error = "bad status '" + std::string(value) + "' for " + option;
            return false;
        }
    }
    return true;
}
