// The character data merge: the slave zone's "Kem.db" records appended to the main zone's with
// every name field renamed, then every item of the main file renumbered from 1.
#pragma once

#include <cstdint>
#include <filesystem>

#include "dbfiles/chardata.h"

namespace zkq {

// Single merge: renames from AccountNameMap and CharNameMap. At its end logs
// "数据库文件合并完毕!", saves the log and sets the bar to 100 / 100. False when either file
// cannot be opened; nothing is written then.
//
// The merged file is written once, front to back in large blocks, beside the main file, and
// replaces it when complete: every item's number depends only on the name order and on how
// many items the records before it hold, so the numbers are counted before the bytes are
// written. Throws FileError when a slave record cannot be added (its slot is taken) or a read
// or write fails; the main file is then as it was.
bool MergeCharacterData(const std::filesystem::path& mainPath,
                        const std::filesystem::path& slavePath);

// The single merge without its closing steps, for the job runner, which takes them once the
// merged files are ready to be switched in.
bool MergeCharacterDataStaged(const std::filesystem::path& mainPath,
                              const std::filesystem::path& slavePath);
// The single merge's closing steps: "数据库文件合并完毕!", the log saved, Percent 100 and then
// TotalParts 100.
void CloseCharacterDataMerge();

// Slave zone `zone` of a batch: renames from "ID更名列表<zone>.txt" and "人物更名列表<zone>.txt".
bool MergeCharacterDataOfZone(const std::filesystem::path& mainPath,
                              const std::filesystem::path& slavePath, int zone);

// Gives every item in use in the record the next instance number (`counter` is raised by one
// per item), in the order Items66 (the first Items66Count slots, at most 66), Items9, Items120,
// Items20, Items5, Items30. An InstanceRef equal to the old InstanceId follows it.
void RenumberItems(CharDataRecord& record, uint32_t& counter);

}  // namespace zkq
