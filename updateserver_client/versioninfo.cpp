#include "versioninfo.h"

#include "UpdateMessage.pb.h"

int parseVersions(const void *data, unsigned size, VersionInfo *out)
{
    if (!data)
        return 1;
    talvenor::update::Versions msg;
    // ParseFromArray fails on malformed bytes and on any missing required field.
    if (size > static_cast<unsigned>(INT32_MAX) || !msg.ParseFromArray(data, static_cast<int>(size)))
        return 2;
    if (!out)
        return 0;
    VersionInfo info;
    info.licenseAgreementId = msg.licenseagreementid();
    for (const talvenor::update::Channel &c : msg.channels()) {
        info.channelNames.push_back(c.name());
        info.channels.emplace(c.name(), VersionInfo::ChannelVersion{c.version_string(), c.version_number()});
    }
    *out = std::move(info);
    return 0;
}
