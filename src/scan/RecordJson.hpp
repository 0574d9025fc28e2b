#pragma once

#include "scan/ScanSession.hpp"
#include "scan/ScanSessionError.hpp"

#include <nlohmann/json.hpp>

#include <string>

/// Reading and writing the members of the stored records ("scan.json" and its
/// summary): every missing or ill-typed member is ScanSessionError::badRecord.
namespace brightfold::record {

using nlohmann::json;

/// The member `key` of `object`; badRecord when it is missing.
const json& member(const json& object, const char* key);
/// Throws badRecord saying that `key` is not `expected`.
[[noreturn]] void wrongType(const char* key, const char* expected);
std::string stringMember(const json& object, const char* key);
/// A whole number of 0 or more (not -1 read as a huge one, nor 1.5 as 1).
uint64_t sizeMember(const json& object, const char* key);
const json& objectMember(const json& object, const char* key);
/// An ISO 8601 date and time with an explicit zone, as UTC.
ScanSession::Time dateMember(const json& object, const char* key);
/// A UUID in its standard form.
SessionId idMember(const json& object, const char* key);

/// {"disk": {…}} or {"image": {…}}.
json encodeSource(const ScanSession::Source& source);
/// Exactly one of the two cases, each with all its members.
ScanSession::Source decodeSource(const json& object);

}
