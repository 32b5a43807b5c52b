#include "worker_main.h"

#include "command_executor.h"
#include "event_loop.h"
#include "frame_channel.h"
#include "local_devices.h"
#include "worker_process.h"
#include "client/console.h"

#include <algorithm>
#include <cstdlib>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

namespace {

// A worker whose devices do not close within this (a third-party library stuck in a call) ends
// without them; the system closes what it held. Well within the service's own bound for it.
constexpr auto kLongestEnd = std::chrono::milliseconds(800);

struct WorkerCommandLine {
    std::string channel;
    int64_t parent = 0;
    WorkerDuty duty;
};

std::chrono::milliseconds Milliseconds(const std::string &text) { return std::chrono::milliseconds(std::stoll(text)); }

// Throws std::exception for anything but what WorkerArguments writes.
WorkerCommandLine ReadCommandLine(int argc, char **argv) {
    if (argc < 3) throw std::invalid_argument("no channel");
    WorkerCommandLine line;
    line.channel = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        const std::string value = option == "--adapters" ? "" : i + 1 < argc ? argv[++i] : throw std::invalid_argument(option);
        if (option == "--parent") line.parent = std::stoll(value);
        else if (option == "--port") line.duty.port = value;
        else if (option == "--adapters") line.duty.adapters = true;
        else if (option == "--rescan") line.duty.rescanInterval = Milliseconds(value);
        else if (option == "--patience") line.duty.patience = Milliseconds(value);
        else throw std::invalid_argument(option);
    }
    return line;
}

// The devices of this worker, by the numbers the service knows them by.
class WorkerHost {
public:
    WorkerHost(EventLoop &loop, ChannelStream stream, WorkerDuty duty)
        : loop_(loop), channel_(std::make_shared<FrameChannel>(std::move(stream))), duty_(std::move(duty)) {
        loop_.Post([this] {
            channel_->Start([this](std::string_view body) { Take(body); }, [this] { ended_.set_value(); });
        });
    }

    // Until the service closes the channel; the exit status.
    int Run() {
        std::future<void> ended = ended_.get_future();
        if (duty_.port) {
            const std::optional<OpenedDevice> opened = OpenSerialSupply(*duty_.port);
            if (!opened) return worker_protocol::kFoundNothing;
            Arrive(*opened);
            Tell(worker_protocol::Settled{});
            ended.wait();
            return 0;
        }
        AdapterScan scan;
        do {
            AdapterScan::Changes changes = scan.Rescan();
            for (const std::string &id : changes.departed) Depart(id);
            for (const OpenedDevice &opened : changes.arrived) Arrive(opened);
            if (!settled_) Tell(worker_protocol::Settled{});
            settled_ = true;
        } while (ended.wait_for(duty_.rescanInterval) == std::future_status::timeout);
        return 0;
    }

    // Every device retired and closed, each after the command it runs now.
    void Close() {
        std::map<uint32_t, Device> devices;
        {
            std::lock_guard lock(mutex_);
            devices.swap(devices_);
        }
        for (auto &[number, device] : devices) device.executor->Retire();
        devices.clear();
    }

private:
    struct Device {
        std::string id;
        std::unique_ptr<CommandExecutor> executor;
    };

    void Tell(const worker_protocol::FromWorker &message) {
        loop_.Post([channel = channel_, frame = worker_protocol::Encode(message)]() mutable {
            channel->Send(std::move(frame));
        });
    }

    void Arrive(const OpenedDevice &opened) {
        uint32_t number = 0;
        {
            std::lock_guard lock(mutex_);
            number = nextNumber_++;
            devices_[number] = {opened.id, std::make_unique<CommandExecutor>(opened.handle, loop_, duty_.patience,
                                                                             CommandExecutor::Place::OwnThread)};
        }
        Tell(worker_protocol::Arrived{number, opened.id, opened.identity});
    }

    void Depart(const std::string &id) {
        Device left;
        uint32_t number = 0;
        {
            std::lock_guard lock(mutex_);
            const auto found = std::find_if(devices_.begin(), devices_.end(), [&](const auto &entry) { return entry.second.id == id; });
            if (found == devices_.end()) return;
            number = found->first;
            left = std::move(found->second);
            devices_.erase(found);
        }
        Tell(worker_protocol::Departed{number});
        // Closed here, on the rescans' thread, once its running command is done.
    }

    // A frame from the service, on the loop: a batch for one of the devices.
    void Take(std::string_view body) {
        const std::optional<worker_protocol::Submit> submit = worker_protocol::DecodeSubmit(body);
        if (!submit) {
            std::cerr << "mavozarp serve: worker: a frame from the service is not understood; ending\n";
            channel_->Close();
            return ended_.set_value();
        }
        const uint64_t request = submit->request;
        const auto answer = [channel = channel_, request](BatchResult result) {
            channel->Send(worker_protocol::Encode(worker_protocol::Answer{request, std::move(result)}));
        };
        std::lock_guard lock(mutex_);
        const auto found = devices_.find(submit->device);
        if (found == devices_.end())
            return answer(Refused(BatchOutcome::Gone, "the device is no longer served"));
        found->second.executor->Submit(std::move(submit->batch), answer);
    }

    EventLoop &loop_;
    std::shared_ptr<FrameChannel> channel_;
    const WorkerDuty duty_;
    std::promise<void> ended_;  // the channel closed
    bool settled_ = false;

    std::mutex mutex_;
    std::map<uint32_t, Device> devices_;
    uint32_t nextNumber_ = 1;
};

}  // namespace

std::vector<std::string> WorkerArguments(const WorkerDuty &duty) {
    std::vector<std::string> arguments{"--parent", std::to_string(ThisProcessId()), "--patience",
                                       std::to_string(duty.patience.count())};
    if (duty.port) arguments.insert(arguments.end(), {"--port", *duty.port});
    if (duty.adapters)
        arguments.insert(arguments.end(), {"--adapters", "--rescan", std::to_string(duty.rescanInterval.count())});
    return arguments;
}

int RunServeWorker(int argc, char **argv) {
    WorkerCommandLine line;
    try {
        line = ReadCommandLine(argc, argv);
    } catch (const std::exception &) {
        std::cerr << "mavozarp: " << kWorkerMode << " is started by mavozarp serve only\n";
        return 2;
    }
    LeaveStopRequestsToTheService(line.parent);
    // The library's lines, written when a head is identified, go to the service's log as the
    // service's own do.
    CaptureStandardOutput("mavozarp serve: library: ");
    EventLoop loop;
    int status = 0;
    try {
        WorkerHost host(loop, InheritedChannel(loop.Context(), line.channel), line.duty);
        status = host.Run();
        std::thread([] {
            std::this_thread::sleep_for(kLongestEnd);
            std::_Exit(0);
        }).detach();
        host.Close();
        loop.Stop();
    } catch (const std::runtime_error &error) {
        std::cerr << "mavozarp serve: worker: " << error.what() << '\n';
        return 1;
    }
    return status;
}
