// The topics of the MQTT bridge: a device id as one topic level, and which topics may be published.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A device id as one topic level: bytes other than letters, digits and "-_.~?" as %XX, so that
// "/dev/pts/5" becomes "%2Fdev%2Fpts%2F5" and no id can hold a level separator or a wildcard.
std::string TopicLevel(std::string_view id);
// The id of a topic level; nothing when a % is not followed by two hexadecimal digits.
std::optional<std::string> IdOfTopicLevel(std::string_view level);

// A topic a message may be published on: not empty, no wildcard, no NUL.
bool IsPublishableTopic(std::string_view topic);

// This machine's name, the default level of its topics; "localhost" when the system has none.
std::string HostName();
