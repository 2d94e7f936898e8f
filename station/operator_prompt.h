#pragma once

#include <string>

namespace corvid {

enum class PromptIcon { Error, Warning, Information };
enum class PromptButtons { Ok, OkCancel, YesNo };
enum class PromptAnswer { Ok, Cancel, Yes, No };

// A message box to the operator: show() is modal and holds only the thread that shows it.
class OperatorPrompt {
  public:
    virtual ~OperatorPrompt() = default;
    virtual PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon icon,
                              PromptButtons buttons) = 0;
    // A box with OK only that the operator closes when they like; the caller goes on at once
    // (the station's controller must not wait on the operator). Shown as show() where nothing
    // waits for the answer anyway.
    virtual void notify(const std::string& text, const std::string& caption, PromptIcon icon) {
        show(text, caption, icon, PromptButtons::Ok);
    }
};

}  // namespace corvid
