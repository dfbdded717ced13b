// Decoding of the version server's reply into plain standard-library types.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

struct VersionInfo {
    struct ChannelVersion {
        std::string versionString;
        int versionNumber = 0;
    };

    int licenseAgreementId = 0;
    std::vector<std::string> channelNames;          // message order, duplicates included
    std::map<std::string, ChannelVersion> channels; // first occurrence of a name wins
};

// 0: decoded; 1: no data pointer; 2: not a complete Versions message. `out` is only
// written on success.
int parseVersions(const void *data, unsigned size, VersionInfo *out);
