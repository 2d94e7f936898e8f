#pragma once

#include <string>

namespace corvid {

enum class PromptIcon { Error, Warning, Information };
enum class PromptButtons { Ok, OkCancel, YesNo };
enum class PromptAnswer { Ok, Cancel, Yes, No };

// A modal message box to the operator. It holds only the thread that shows it.
class OperatorPrompt {
  public:
    virtual ~OperatorPrompt() = default;
    virtual PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon icon,
                              PromptButtons buttons) = 0;
};

}  // namespace corvid
