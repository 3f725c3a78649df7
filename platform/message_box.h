#pragma once
// Modal message boxes: title "travcard", one OK button and an icon. The
// windows and the print runs talk to this small interface so that tests can
// record the messages instead of opening a modal box.

#include <string>

enum class MessageIcon { None, Warning, Critical };

class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void show(const std::string& text, MessageIcon icon) = 0;
};

inline constexpr const char* applicationTitle = "travcard";
