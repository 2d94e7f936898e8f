#pragma once

#include <string>
#include <string_view>

#include "records/run_record.h"
#include "station/messages.h"

namespace corvid {

// The name, the same in every language, of the message or fixed text a slot's status text
// begins with: the message's lang.ini key ("BadBlockStr"), or the English text of a fixed text
// ("Start Disk"). The longest that fits wins, so "Bad block Fail" is BadBlockStr, not FailMsg.
// Empty when the text begins with none of them.
std::string textKey(std::string_view shown, const MessageTable& messages);

// The failure key of an ended run: for a failed run, the key of its last status text, else of
// the step it failed at, else that step's text as shown; for a removed or stopped run, the step
// that was running. Empty for a passed run.
std::string failureKey(RunEnd end, std::string_view finalStatus, std::string_view failedStep,
                       const MessageTable& messages);

}  // namespace corvid
