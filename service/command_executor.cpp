#include "command_executor.h"

#include "client/status_codes.h"

// Holds the device for one command; the next ticket that still waits is served after it.
class CommandExecutor::Turn {
public:
    explicit Turn(CommandExecutor &executor) : executor_(executor) {
        std::unique_lock lock(executor.mutex_);
        const uint64_t ticket = executor.nextTicket_++;
        const bool served = executor.turnChanged_.wait_for(lock, executor.patience_, [&] {
            return executor.serving_ == ticket || executor.retired_;
        });
        if (executor.retired_) {
            Leave(ticket);
            throw DeviceGone("the device is no longer served");
        }
        if (!served) {
            Leave(ticket);
            throw DeviceBusy("the device stayed busy with other commands");
        }
    }
    ~Turn() {
        std::lock_guard lock(executor_.mutex_);
        Advance();
    }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;

private:
    // With the mutex held: a ticket that gives up is skipped when its turn comes.
    void Leave(uint64_t ticket) {
        if (executor_.serving_ == ticket) {
            Advance();
        } else {
            executor_.abandoned_.insert(ticket);
        }
    }
    void Advance() {
        ++executor_.serving_;
        while (executor_.abandoned_.erase(executor_.serving_) != 0) ++executor_.serving_;
        executor_.turnChanged_.notify_all();
    }

    CommandExecutor &executor_;
};

bool ChangesSetting(std::string_view command) {
    return !command.starts_with('?') || command.find('=') != std::string_view::npos;
}

std::string CommandProblem(std::string_view command) {
    if (command.empty()) return "empty command";
    if (command.size() > kLongestCommand) {
        return "command longer than " + std::to_string(kLongestCommand) + " characters";
    }
    for (const char c : command) {
        if (c < ' ' || c > '~') return "command holds a byte that is not printable ASCII";
    }
    return {};
}

CommandExecutor::CommandExecutor(MavoZARP_Handle handle, std::chrono::milliseconds patience)
    : handle_(handle), patience_(patience) {}

Exchange CommandExecutor::Send(std::string_view command) {
    Exchange exchange;
    {
        const Turn turn(*this);
        exchange = SendCommand(handle_, command);
    }
    answering_ = exchange.Succeeded() || DescribeStatus(exchange.status).ofTheCommand;
    std::lock_guard lock(mutex_);
    ++counts_.total;
    if (!exchange.Succeeded()) ++counts_.failuresByStatus[exchange.status];
    return exchange;
}

void CommandExecutor::Retire() {
    std::lock_guard lock(mutex_);
    retired_ = true;
    turnChanged_.notify_all();
}

CommandCounts CommandExecutor::Counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}
