// Archives made in tests the way the server program makes them: a PAX tar,
// gzip-compressed, its manifest last.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tesmora::testing {

struct Member {
    Member(std::string name_, std::string data_ = "", char type_ = 'f', std::string link_ = "",
           std::int64_t mtime_ = 1600000000)
        : name(std::move(name_)), data(std::move(data_)), type(type_), link(std::move(link_)), mtime(mtime_) {}
    std::string name;
    std::string data;
    char type;          // 'f' file, 'd' folder, 's' symbolic link, 'h' hard link
    std::string link;   // the target of a link
    std::int64_t mtime;
};

std::string Tar(const std::vector<Member>& members);
std::string Gzip(const std::string& data);

// A manifest counting `files` regular files, with its sqlite list as JSON.
std::string Manifest(int files, const std::string& sqlite = "[]");

// The members with a manifest that counts their regular files, as gzip.
std::string ArchiveOf(std::vector<Member> members);

// A complete snapshot folder of `id` holding the archive, encrypted to the
// recipient when one is given.
void WriteSnapshot(const std::wstring& folder, const std::wstring& id, const std::string& archive,
                   const std::string& recipient = {});

}  // namespace tesmora::testing
