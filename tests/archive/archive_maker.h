// Archives made in tests the way the server program makes them: a PAX tar,
// gzip-compressed, its manifest last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tesmora::testing {

struct Member {
    std::string name;
    std::string data;
    char type = 'f';    // 'f' file, 'd' folder, 's' symbolic link, 'h' hard link
    std::string link;   // the target of a link
    std::int64_t mtime = 1600000000;
};

std::string Tar(const std::vector<Member>& members);
std::string Gzip(const std::string& data);

// A manifest counting `files` regular files, with its sqlite list as JSON.
std::string Manifest(int files, const std::string& sqlite = "[]");

// The members with a manifest that counts their regular files, as gzip.
std::string ArchiveOf(std::vector<Member> members);

// A complete snapshot folder of `id` holding the archive.
void WriteSnapshot(const std::wstring& folder, const std::wstring& id, const std::string& archive);

}  // namespace tesmora::testing
