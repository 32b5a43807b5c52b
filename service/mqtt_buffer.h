// What the service has yet to publish on its MQTT broker, bounded: while the broker is slow or
// away, the oldest samples make room for new ones; retained states and replies are never dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    std::string correlation{};  // the correlation data of an MQTT 5 reply
};

// The messages of one sample share its number, so a full buffer drops a whole sample, the oldest.
struct BufferedMessage {
    MqttMessage message;
    uint64_t sample = 0;  // 0: not a sample's (a retained state, a reply): never dropped
};

class PublicationBuffer {
public:
    explicit PublicationBuffer(size_t mostSamples) : mostSamples_(mostSamples) {}

    void Add(MqttMessage message);
    void AddSample(std::vector<MqttMessage> messages);

    // The next messages to publish in order, at most `most` of the buffer's; the last retained
    // message of every topic comes first when they are to be published again.
    std::vector<BufferedMessage> Take(size_t most);
    // Puts messages not delivered back in front, in their order.
    void PutBack(std::vector<BufferedMessage> messages);
    // The retained messages go out again with the next Take (a broker may have lost them).
    void RepublishRetained();

    bool Empty();
    // The samples dropped since the last call.
    uint64_t TakeDropped();

private:
    void Enqueue(MqttMessage message, uint64_t sample);
    void MakeRoomForSample();

    const size_t mostSamples_;
    std::mutex mutex_;  // everything below
    std::deque<BufferedMessage> queue_;
    size_t queuedSamples_ = 0;
    uint64_t lastSample_ = 0;
    uint64_t droppedSamples_ = 0;
    std::map<std::string, MqttMessage> retained_;  // the last retained message of every topic
    bool republishRetained_ = false;  // a dropped sample took some, or the broker may have lost them
};
