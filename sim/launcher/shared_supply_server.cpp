#include "launcher/shared_supply_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <system_error>

#include "bus/head_presets.h"

namespace sim {

namespace {

[[noreturn]] void ThrowSystemError(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Waits until `fd` is readable or the stop pipe is; false for the stop.
bool AwaitReadable(int fd, int stop) {
    pollfd watched[] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
    while (poll(watched, 2, -1) < 0) {
        if (errno != EINTR) return false;
    }
    return watched[1].revents == 0;
}

}  // namespace

SharedSupplyServer::SharedSupplyServer(Tracer tracer) : tracer_(std::move(tracer)) {
    const char *temporary = std::getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr ? temporary : "/tmp") +
                          "/mavozarp-sim-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ThrowSystemError("mkdtemp");
    folder_ = pattern;
    socketPath_ = folder_ + "/adapters";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        rmdir(folder_.c_str());
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "socket path");
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) ||
        listen(listener_, 16) != 0 || pipe2(stop_, O_CLOEXEC) != 0) {
        const int error = errno;
        if (listener_ >= 0) close(listener_);
        unlink(socketPath_.c_str());
        rmdir(folder_.c_str());
        throw std::system_error(error, std::generic_category(), "shared supplies socket");
    }
    acceptor_ = std::thread([this] { Accept(); });
}

SharedSupplyServer::~SharedSupplyServer() {
    const char wake = 1;
    (void)!write(stop_[1], &wake, 1);
    acceptor_.join();
    for (Client &client : clients_) client.thread.join();
    for (const int fd : {listener_, stop_[0], stop_[1]}) close(fd);
    unlink(socketPath_.c_str());
    rmdir(folder_.c_str());
}

uint32_t SharedSupplyServer::Add(const AdapterSupplyEntry &entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto number = static_cast<uint32_t>(adapters_.size());
    const AdapterNaming naming = NamingFor(number, &entry);
    Served &served = adapters_.emplace_back(Served{
        .naming = {.plugged = true,
                   .generation = 1,
                   .location = naming.location,
                   .description = naming.description,
                   .serialNumber = naming.serialNumber},
        .supply = std::make_unique<VirtualSupply>(),
    });
    FindHeadPreset(entry.preset)->apply(*served.supply);
    if (tracer_) {
        served.supply->Bus().Observe(
            [this, number](const I2cTransaction &seen) { tracer_(number, seen); });
    }
    return number;
}

bool SharedSupplyServer::SetPlugged(uint32_t adapter, bool plugged) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (adapter >= adapters_.size()) return false;
    SharedAdapter &naming = adapters_[adapter].naming;
    // Back in, the adapter is a new device: handles opened before are dead.
    if (plugged && !naming.plugged) ++naming.generation;
    naming.plugged = plugged;
    return true;
}

void SharedSupplyServer::Accept() {
    while (AwaitReadable(listener_, stop_[0])) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        // Host programs come and go all day: their finished threads are reaped as new ones come.
        std::erase_if(clients_, [](Client &old) {
            if (!*old.finished) return false;
            old.thread.join();
            return true;
        });
        auto finished = std::make_shared<std::atomic<bool>>(false);
        clients_.push_back({std::thread([this, client, finished] { Serve(client, *finished); }),
                            finished});
    }
}

void SharedSupplyServer::Serve(int client, std::atomic<bool> &finished) {
    // A host program may stay idle for long between requests; once a request begins, it must
    // arrive within the bound.
    while (AwaitReadable(client, stop_[0])) {
        const std::optional<std::vector<uint8_t>> request = ReceiveFrame(client);
        if (!request || !SendFrame(client, Answer(*request))) break;
    }
    close(client);
    finished = true;
}

std::vector<uint8_t> SharedSupplyServer::Answer(std::span<const uint8_t> request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.size() == 1 && request[0] == static_cast<uint8_t>(SharedRequest::List)) {
        std::vector<SharedAdapter> list;
        for (const Served &served : adapters_) list.push_back(served.naming);
        return EncodeAdapterList(list);
    }
    const std::optional<SharedTransfer> transfer = DecodeTransfer(request);
    const bool live = transfer && transfer->adapter < adapters_.size() &&
                      adapters_[transfer->adapter].naming.plugged &&
                      adapters_[transfer->adapter].naming.generation == transfer->generation;
    if (!live) return {static_cast<uint8_t>(TransferOutcome::Gone)};
    I2cBus &bus = adapters_[transfer->adapter].supply->Bus();
    const auto count = static_cast<uint32_t>(transfer->written.size());
    std::vector<uint8_t> answer(1 + transfer->readCount);
    const bool acknowledged =
        transfer->request == SharedRequest::WriteThenRead
            ? bus.WriteThenRead(transfer->address, transfer->written.data(), count,
                                answer.data() + 1, transfer->readCount)
            : bus.Write(transfer->address, transfer->written.data(), count);
    if (!acknowledged) return {static_cast<uint8_t>(TransferOutcome::NotAcknowledged)};
    answer[0] = static_cast<uint8_t>(TransferOutcome::Acknowledged);
    return answer;
}

}  // namespace sim
