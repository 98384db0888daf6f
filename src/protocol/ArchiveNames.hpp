#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/Lines.hpp"
#include "protocol/ProtocolCodes.hpp"
#include "util/TDateTime.hpp"

// The rules that name an archive file: sample identifier, subfolder, time
// stamp and extension. Pure: the folder itself is looked at by the writer.
namespace protocol {

// "yyyymmdd-hhnnmm-ss": the month stands where seconds would be expected
// (archived names already follow it), the seconds after the second "-".
std::string ArchiveTimeStamp(const TDateTime& t);
// The visible order code of a sample identifier: an 11-character identifier
// keeps its first 7 characters, any other stays whole.
std::string VisibleOrderCode(const std::string& identifier);
// Name from a sample identifier: the part before the first "-", and an
// 11-character result shortened to its first 7 characters.
std::string ShortenIdentifier(const std::string& identifier);
// Makes a sample-derived name safe as one path component of the folder:
// drops / \ : * ? " < > | and NUL.
std::string CleanFileName(const std::string& name);
// Longest name, in bytes of the file system's encoding (UTF-8), that a sample
// identifier or a model gives a file or folder: far below the 255 the file
// system allows, so the suffix, extension and temporary name always fit.
constexpr size_t MAX_NAME_BYTES = 64;
// Why a cleaned name cannot name a file or folder: "" when it can; else a short
// reason for the log (empty, only dots or blanks, more than MAX_NAME_BYTES).
std::string UnusableNameReason(const std::string& cleanedName);
// Subfolder name (without "/") from modelo or nomeTevarin; empty when neither
// gives a usable one (see UnusableNameReason).
std::string SubfolderName(const std::string& modelo, const std::string& nomeTevarin);
// The identifier of a result block's sample for the analyzer's protocol code
// and version (the header's), or "" when the block names none; throws for a
// JSON block that is no document.
std::string BlockSampleIdentifier(const TLines& bloco, int32_t protocolo, const std::string& versao);
// ".astm", ".hl7", ".json", ".txt" (not identified), "" for an unknown code.
const char* ArchiveExtension(int32_t protocolo);

}  // namespace protocol
