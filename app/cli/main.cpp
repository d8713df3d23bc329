// zkqmerge-cli: the headless runner of zkqmerge's jobs.
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "Usage: zkqmerge-cli [--program-dir DIR] [--verbose] JOB [then JOB ...]\n"
    "\n"
    "Jobs:\n"
    "  server MAIN_ID SLAVE_ID MAIN_HUM SLAVE_HUM MAIN_KEM SLAVE_KEM [--suffix TEXT] [--backup "
    "DIR]\n"
    "  guilds MAIN_DIR SLAVE_DIR\n"
    "  tasks MAIN_DIR SLAVE_DIR\n"
    "  vars MAIN_DIR SLAVE_DIR\n"
    "  friends MAIN_DIR SLAVE_DIR\n"
    "  members MAIN_FILE SLAVE_FILE\n"
    "  clean ID_DB HUM_DB KEM_DB --before YYYY-MM-DD --min-level N [--clear-deleted]\n"
    "  clean-guilds GUILD_DIR MIN_MEMBERS\n"
    "  clans MAIN_DIR SLAVE_DIR\n"
    "  clean-storage STORAGE_DIR HUM_DB\n"
    "  batch CONFIG_INI\n"
    "\n"
    "Options:\n"
    "  --program-dir DIR  folder for rename lists, cleanup lists and settings\n"
    "                     (default: the folder of this program)\n"
    "  --verbose          print every progress line\n"
    "  --help             show this text\n"
    "\n"
    "Exit status: 0 every job succeeded, 1 a job failed or was refused, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  std::fprintf(stderr, "zkqmerge-cli: the jobs are not available in this build yet\n");
  return 1;
}
