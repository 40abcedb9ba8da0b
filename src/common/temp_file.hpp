#pragma once
// Temporary files of a save: written completely, then renamed over the file they replace.
#include <string>

namespace tarnivel {

// Creates the temporary file `tmp_name` of a save that will be renamed over `final_name` and returns
// its descriptor open for writing, or -1 with errno set. The file is always a new one: an entry that
// already has the name (a leftover of a killed save, or a link planted there) is unlinked first and
// never written through, and the file is created with O_EXCL | O_NOFOLLOW. It gets the permission
// bits of `final_name` when that is a regular file, so a replaced file keeps its mode; a new one gets
// 0666 less the umask.
int create_temp_file(const std::string& tmp_name, const std::string& final_name);

// The same at a name that no other file has: `final_name` + "." + a random suffix + ".tmp", stored in
// `tmp_name`. For saves that hold no lock, where two writers of one file must not share a temporary file.
int create_unique_temp_file(const std::string& final_name, std::string& tmp_name);

}  // namespace tarnivel
