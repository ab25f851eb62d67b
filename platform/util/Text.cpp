#include "platform/util/Text.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace platform {
namespace text {

std::string trim(const std::string& value) {
    size_t begin = value.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    size_t end = value.find_last_not_of(" \t\r\n");
    return value.substr(begin, end - begin + 1);
}

std::string toLower(std::string value) {
    std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
    return value;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string isoTimestampNow() {
    using namespace std::chrono;
    return isoTimestamp(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::string isoTimestamp(long long millisecondsSince1970) {
    long long ms = millisecondsSince1970;
    long long secondsPart = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    long long millis = ms - secondsPart * 1000;
    std::time_t seconds = static_cast<std::time_t>(secondsPart);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03lld000Z", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return buffer;
}

bool parseTimeText(const std::string& given, long long& seconds, std::string& error) {
    const std::string text = trim(given);
    if (text.empty()) {
        error = "no time given";
        return false;
    }
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 12) {
            error = "'" + text + "' is too large for seconds since 1970 (milliseconds?)";
            return false;
        }
        seconds = std::stoll(text);
        return true;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    const char* s = text.c_str();
    if (std::sscanf(s, "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10) {
        error = "'" + text + "' is not a time: give seconds since 1970 or an ISO 8601 time like 2026-12-06T10:00:00Z";
        return false;
    }
    const char* rest = s + used;
    long long offset = 0;
    if (*rest != '\0') {
        int timeUsed = 0;
        if ((*rest != 'T' && *rest != 't' && *rest != ' ') ||
            std::sscanf(rest + 1, "%2d:%2d:%2d%n", &hour, &minute, &second, &timeUsed) != 3 || timeUsed != 8) {
            error = "'" + text + "' is not an ISO 8601 time (expected hh:mm:ss after the date, like 2026-12-06T10:00:00Z)";
            return false;
        }
        rest += 1 + timeUsed;
        if (*rest == '.' || *rest == ',') {
            ++rest;
            if (!std::isdigit(static_cast<unsigned char>(*rest))) rest = "?";
            while (std::isdigit(static_cast<unsigned char>(*rest))) ++rest;
        }
        if (*rest == 'Z' || *rest == 'z') {
            ++rest;
        } else if (*rest == '+' || *rest == '-') {
            int offsetHours = 0, offsetMinutes = 0, offsetUsed = 0;
            if (std::sscanf(rest + 1, "%2d:%2d%n", &offsetHours, &offsetMinutes, &offsetUsed) != 2 || offsetUsed != 5 ||
                offsetHours > 23 || offsetMinutes > 59) {
                error = "'" + text + "' has an unreadable offset (expected +hh:mm or Z)";
                return false;
            }
            offset = (offsetHours * 3600LL + offsetMinutes * 60LL) * (*rest == '+' ? 1 : -1);
            rest += 1 + offsetUsed;
        } else {
            error = "'" + text + "' names no time zone: end it with Z for UTC or an offset like +01:00";
            return false;
        }
        if (*rest != '\0') {
            error = "'" + text + "' is not an ISO 8601 time (unexpected text at the end)";
            return false;
        }
    }
    static const int daysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth[month - 1] || hour > 23 || minute > 59 ||
        second > 60) {
        error = "'" + text + "' is not a valid date and time";
        return false;
    }
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    std::time_t utc = timegm(&fields);
    if (fields.tm_mday != day) {  // 29 February of a common year rolled over
        error = "'" + text + "' is not a valid date";
        return false;
    }
    long long value = static_cast<long long>(utc) - offset;
    if (value < 0) {
        error = "'" + text + "' lies before 1970";
        return false;
    }
    seconds = value;
    return true;
}

}  // namespace text
}  // namespace platform
