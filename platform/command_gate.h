#pragma once
// One command at a time. The print runs let the windows process events, so a
// second button press could otherwise start a command inside a running one
// and share the printer device and the result sets with it. A press that
// finds the gate taken is ignored.

#include <optional>

class CommandGate {
public:
    class Pass {
    public:
        explicit Pass(CommandGate& gate) : gate_(&gate) { gate_->running_ = true; }
        ~Pass() { if (gate_) gate_->running_ = false; }
        Pass(Pass&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        Pass& operator=(Pass&&) = delete;

    private:
        CommandGate* gate_;
    };

    std::optional<Pass> tryEnter()
    {
        if (running_)
            return std::nullopt;
        return std::optional<Pass>(std::in_place, *this);
    }
    bool running() const { return running_; }

private:
    bool running_ = false;
};
