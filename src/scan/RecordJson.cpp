#include "scan/RecordJson.hpp"

namespace brightfold::record {

const json& member(const json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end())
        throw ScanSessionError::badRecord("The stored scan is missing \"" + std::string(key) + "\".");
    return *found;
}

void wrongType(const char* key, const char* expected)
{
    throw ScanSessionError::badRecord("The stored scan's \"" + std::string(key) + "\" is not " + expected + ".");
}

std::string stringMember(const json& object, const char* key)
{
    const json& value = member(object, key);
    if (!value.is_string())
        wrongType(key, "a string");
    return value.get<std::string>();
}

uint64_t sizeMember(const json& object, const char* key)
{
    const json& value = member(object, key);
    // nlohmann reads -1 as a huge unsigned number and 1.5 as 1: check the kind first.
    if (!value.is_number_unsigned())
        wrongType(key, "a whole number of 0 or more");
    return value.get<uint64_t>();
}

const json& objectMember(const json& object, const char* key)
{
    const json& value = member(object, key);
    if (!value.is_object())
        wrongType(key, "an object");
    return value;
}

json encodeSource(const ScanSession::Source& source)
{
    if (const auto* disk = std::get_if<ScanSession::Disk>(&source))
        return { { "disk", { { "deviceIdentifier", disk->deviceIdentifier }, { "sizeBytes", disk->sizeBytes },
                                 { "mediaName", disk->mediaName }, { "volumeNames", disk->volumeNames } } } };
    const auto& image = std::get<ScanSession::Image>(source);
    json value { { "path", image.path }, { "sizeBytes", image.sizeBytes } };
    if (image.identity) {
        value["device"] = image.identity->device;
        value["inode"] = image.identity->inode;
        value["modifiedNanoseconds"] = image.identity->modifiedNanoseconds;
    }
    return { { "image", value } };
}

ScanSession::Source decodeSource(const json& object)
{
    if (object.size() != 1)
        throw ScanSessionError::badRecord("The stored scan's \"source\" must name exactly one kind of source.");
    if (object.contains("disk")) {
        const json& value = objectMember(object, "disk");
        ScanSession::Disk disk { stringMember(value, "deviceIdentifier"), sizeMember(value, "sizeBytes"),
            stringMember(value, "mediaName"), {} };
        const json& names = member(value, "volumeNames");
        if (!names.is_array())
            wrongType("volumeNames", "a list");
        for (const json& name : names) {
            if (!name.is_string())
                wrongType("volumeNames", "a list of strings");
            disk.volumeNames.push_back(name.get<std::string>());
        }
        return disk;
    }
    if (object.contains("image")) {
        const json& value = objectMember(object, "image");
        ScanSession::Image image { stringMember(value, "path"), sizeMember(value, "sizeBytes") };
        // Records made before images were told apart by more than their size have none.
        if (value.contains("device") || value.contains("inode") || value.contains("modifiedNanoseconds")) {
            const json& modified = member(value, "modifiedNanoseconds");
            if (!modified.is_number_integer() || (modified.is_number_unsigned() && modified.get<uint64_t>() > INT64_MAX))
                wrongType("modifiedNanoseconds", "a whole number");
            image.identity = ScanSessionImageIdentity { sizeMember(value, "device"), sizeMember(value, "inode"), modified.get<int64_t>() };
        }
        return image;
    }
    throw ScanSessionError::badRecord("The stored scan's \"source\" is neither a disk nor a disk image.");
}

ScanSession::Time dateMember(const json& object, const char* key)
{
    std::optional<ScanSession::Time> time = parseIsoDate(stringMember(object, key));
    if (!time)
        wrongType(key, "an ISO 8601 date and time such as 2026-03-01T14:05:09Z");
    return *time;
}

SessionId idMember(const json& object, const char* key)
{
    std::optional<SessionId> id = SessionId::parse(stringMember(object, key));
    if (!id)
        wrongType(key, "a UUID");
    return *id;
}

}
