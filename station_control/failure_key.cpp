#include "station_control/failure_key.h"

#include <algorithm>

namespace corvid {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string textKey(std::string_view shown, const MessageTable& messages) {
    const std::string_view text = trimmed(shown);
    std::string key;
    std::size_t longest = 0;
    const auto consider = [&](std::string_view candidate, std::string_view name) {
        candidate = trimmed(candidate);
        // One letter begins too many texts to name any.
        if (candidate.size() > std::max<std::size_t>(longest, 1) && text.starts_with(candidate)) {
            longest = candidate.size();
            key = name;
        }
    };
    for (std::size_t i = 0; i < kMessageCount; ++i) {
        const auto message = static_cast<MessageKey>(i);
        consider(messages.text(message), messageKeyName(message));
        consider(messageDefault(message), messageKeyName(message));
    }
    for (int row = 0; row < kFixedTextRows; ++row) {
        for (int language = 0; language < kLanguageCount; ++language) {
            consider(fixedText(row, language), fixedText(row, kLanguageEnglish));
        }
    }
    return key;
}

std::string failureKey(RunEnd end, std::string_view finalStatus, std::string_view failedStep,
                       const MessageTable& messages) {
    if (end == RunEnd::Passed) {
        return {};
    }
    if (end == RunEnd::Failed) {
        if (std::string key = textKey(finalStatus, messages); !key.empty()) {
            return key;
        }
    }
    if (std::string key = textKey(failedStep, messages); !key.empty()) {
        return key;
    }
    return std::string(trimmed(failedStep.empty() ? finalStatus : failedStep));
}

}  // namespace corvid
