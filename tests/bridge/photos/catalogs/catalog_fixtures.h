#pragma once
// Other programs' databases as those programs create them (their own table
// definitions), written into a temporary home only.
#include <filesystem>
#include <string>

namespace velmora::testing {

// Runs `sql` on the SQLite database `file` (created when missing) and
// closes it again, leaving no journal behind.
void runSql(const std::filesystem::path& file, const std::string& sql);

// digiKam's core tables, with its internal pick-label tags.
extern const char* const digikamSchema;
// Shotwell's PhotoTable and VideoTable.
extern const char* const shotwellSchema;

}  // namespace velmora::testing
