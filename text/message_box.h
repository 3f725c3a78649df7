#pragma once
// Modal message boxes: title "travcard", one OK button (Yes and No for a
// question) and an icon. The
// commands collect their messages in a MessageList, which the window shows
// in order once the command is done; tests record them instead of opening a
// modal box.

#include <string>
#include <vector>

enum class MessageIcon { None, Warning, Critical };

struct Message {
    std::string text;
    MessageIcon icon;
    bool operator==(const Message&) const = default;
};

class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void show(const std::string& text, MessageIcon icon) = 0;
    // A question with the buttons Yes and No; true for Yes. Where nobody
    // can answer, the answer is No.
    virtual bool ask(const std::string& /*question*/, MessageIcon /*icon*/) { return false; }

    void showAll(const std::vector<Message>& messages)
    {
        for (const Message& message : messages)
            show(message.text, message.icon);
    }
};

// Keeps the messages of a command that runs away from the window.
class MessageList : public MessageBox {
public:
    void show(const std::string& text, MessageIcon icon) override { shown.push_back({text, icon}); }
    std::vector<Message> shown;
};

inline constexpr const char* applicationTitle = "travcard";
