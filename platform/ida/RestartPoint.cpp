#include "platform/ida/RestartPoint.h"

RestartPoint RestartPoint::end() {
    RestartPoint point;
    point.m_kind = Kind::End;
    return point;
}

RestartPoint RestartPoint::nextPage(std::string partitionKey, std::string rowKey) {
    if (partitionKey.empty() && rowKey.empty()) return end();
    RestartPoint point;
    point.m_kind = Kind::Page;
    point.m_partitionKey = std::move(partitionKey);
    point.m_rowKey = std::move(rowKey);
    return point;
}

bool RestartPoint::parse(const std::string& text, RestartPoint& point) {
    if (text.empty()) {
        point = start();
        return true;
    }
    size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return false;
    point = nextPage(text.substr(0, colon), text.substr(colon + 1));
    return true;
}

bool RestartPoint::parseAfterPage(const std::string& text, RestartPoint& point) {
    if (text.empty()) {
        point = end();
        return true;
    }
    return parse(text, point);
}

std::string RestartPoint::toString() const {
    switch (m_kind) {
        case Kind::Start:
            return std::string();
        case Kind::End:
            return ":";
        case Kind::Page:
            break;
    }
    return m_partitionKey + ":" + m_rowKey;
}

std::string RestartPoint::afterPageString() const { return isEnd() ? std::string() : toString(); }
