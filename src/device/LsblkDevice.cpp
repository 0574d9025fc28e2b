#include "device/LsblkDevice.hpp"

#include <nlohmann/json.hpp>

#include <charconv>

namespace brightfold {

namespace {

using nlohmann::json;

// lsblk nests partitions, then mapper devices, then logical volumes: a few levels.
// Deeper input is cut off rather than followed.
constexpr int kMaxDepth = 16;

std::string trimmed(std::string_view text)
{
    size_t begin = text.find_first_not_of(" \t\n");
    if (begin == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(" \t\n");
    return std::string(text.substr(begin, end - begin + 1));
}

std::string stringField(const json& entry, const char* key)
{
    auto found = entry.find(key);
    if (found == entry.end() || !found->is_string())
        return {};
    return trimmed(found->get_ref<const std::string&>());
}

// lsblk 2.38 writes true/false; older versions wrote "0"/"1" or 0/1.
bool flagField(const json& entry, const char* key)
{
    auto found = entry.find(key);
    if (found == entry.end())
        return false;
    if (found->is_boolean())
        return found->get<bool>();
    if (found->is_number_unsigned())
        return found->get<uint64_t>() != 0;
    if (found->is_string())
        return found->get_ref<const std::string&>() == "1";
    return false;
}

// A size is an unsigned integer, or (from older lsblk) one written as a string.
std::optional<uint64_t> sizeField(const json& entry, const char* key)
{
    auto found = entry.find(key);
    if (found == entry.end())
        return std::nullopt;
    if (found->is_number_unsigned())
        return found->get<uint64_t>();
    if (!found->is_string())
        return std::nullopt;
    const std::string& text = found->get_ref<const std::string&>();
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::vector<std::string> mountPointsField(const json& entry)
{
    std::vector<std::string> points;
    if (auto found = entry.find("mountpoints"); found != entry.end() && found->is_array()) {
        for (const auto& point : *found) {
            if (point.is_string() && !point.get_ref<const std::string&>().empty())
                points.push_back(point.get<std::string>());
        }
        return points;
    }
    if (std::string point = stringField(entry, "mountpoint"); !point.empty())
        points.push_back(point);
    return points;
}

std::optional<LsblkDevice> deviceFrom(const json& entry, int depth)
{
    if (!entry.is_object())
        return std::nullopt;
    LsblkDevice device;
    device.name = stringField(entry, "kname");
    if (device.name.empty())
        device.name = stringField(entry, "name");
    if (device.name.empty())
        return std::nullopt;
    device.type = stringField(entry, "type");
    device.size = sizeField(entry, "size");
    device.removable = flagField(entry, "rm");
    device.hotplug = flagField(entry, "hotplug");
    device.transport = stringField(entry, "tran");
    device.subsystems = stringField(entry, "subsystems");
    device.model = stringField(entry, "model");
    device.label = stringField(entry, "label");
    device.mountPoints = mountPointsField(entry);
    if (auto children = entry.find("children"); children != entry.end() && children->is_array() && depth < kMaxDepth) {
        for (const auto& child : *children) {
            if (auto parsed = deviceFrom(child, depth + 1))
                device.children.push_back(std::move(*parsed));
        }
    }
    return device;
}

}

std::optional<std::vector<LsblkDevice>> parseLsblkJson(std::string_view text)
{
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return std::nullopt;
    auto entries = document.find("blockdevices");
    if (entries == document.end() || !entries->is_array())
        return std::nullopt;
    std::vector<LsblkDevice> devices;
    for (const auto& entry : *entries) {
        if (auto device = deviceFrom(entry, 0))
            devices.push_back(std::move(*device));
    }
    return devices;
}

}
