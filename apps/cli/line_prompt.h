#pragma once

#include <cstdio>
#include <string>

#include "station/operator_prompt.h"

namespace corvid::cli {

// A message box on the command line: a printed line; the run goes on as after OK.
class LinePrompt : public OperatorPrompt {
  public:
    // 'prefix' starts the line, for example the drive letter.
    explicit LinePrompt(std::string prefix) : prefix_(std::move(prefix)) {}
    PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon,
                      PromptButtons) override {
        std::printf("%s%s: %s\n", prefix_.c_str(), caption.c_str(), text.c_str());
        std::fflush(stdout);
        return PromptAnswer::Ok;
    }

  private:
    std::string prefix_;
};

}  // namespace corvid::cli
