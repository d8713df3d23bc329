// Dated backups of a character data file and the upgrade of its records from the two older
// layouts (0330: 16888 bytes, 0820: 23774 bytes) to the current one (24800 bytes).
#pragma once

#include <filesystem>
#include <set>
#include <string_view>

namespace zkq {

// The layout codes of BackupAndProbeLayout.
enum LayoutCode : int {
  kLayoutCurrent = 0,  // also: missing or unreadable file, or a size that fits no older layout
  kLayout0330 = 1,
  kLayout0820 = 2,
};

// The files one job has backed up. A file is backed up once per job: a later backup step of the
// same job makes no second backup, so the one made keeps the file as it was before the job
// changed it.
struct JobBackups {
  std::set<std::filesystem::path> written;
};

// Copies the data file to "Kem#yyyyMMdd.db.bak" and its index file (path + ".idx"), when it
// exists, to "Kem#yyyyMMdd.db.idx.bak" in the file's folder, logs "<path> 源数据备份成功!", and
// tells the layout from the file's size and its header's SlotCount. A backup name that is taken
// is never replaced: the two backups then take "Kem#yyyyMMdd-n.db.bak" and
// "Kem#yyyyMMdd-n.db.idx.bak" with the first n from 2 at which both are free. In a job
// (platform/staging.h) the backups are made when the job switches its files in. A missing file
// gives kLayoutCurrent without a backup or a log line. Throws FileError when a backup cannot be
// written, or something other than a file stands at its name.
int BackupAndProbeLayout(const std::filesystem::path& path, JobBackups& backups);

// Backs the file up as above, logs "<path> 原数据备份成功!准备升级数据格式!", and rewrites every
// record in the next newer layout (kind 1: 0330 -> 0820, kind 2: 0820 -> current). The data file
// is replaced only once the new content is complete and flushed; on any failure it stays as it
// was. The file's size must be exactly the header plus SlotCount records of the old layout.
// The index file is neither read nor changed. True when the file was rewritten; false for a
// missing file, another kind, a size that does not fit, or a failed read, write or rename.
// Throws FileError when a backup cannot be written, before anything is converted.
bool UpgradeCharacterData(const std::filesystem::path& path, int kind, JobBackups& backups);

// Brings a character data file to the current layout: probes it, then upgrades it while the
// probe reports an older layout, logging `doneLine` after every upgrade. False, after logging
// `failedLine`, when an upgrade failed. The two lines are given as UTF-8 and logged as GBK.
bool UpgradeToCurrentLayout(const std::filesystem::path& path, JobBackups& backups,
                            std::string_view failedLine, std::string_view doneLine);

}  // namespace zkq
