#include "archive/archive_maker.h"

#include "archive/archive_check.h"
#include "crypto/age.h"
#include "repository/format.h"
#include "os/os.h"
#include "os/text.h"
#include "test_support.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <clocale>
#include <filesystem>

namespace tesmora::testing {

std::string Tar(const std::vector<Member>& members) {
    std::string out;
    archive* writer = archive_write_new();
    archive_write_set_format_pax_restricted(writer);
    // libarchive's writer converts names through the C library's locale: the
    // user's, as the server's tar writer has them (UTF-8 on Linux; on
    // Windows names go in as UTF-16 and the test run's code page holds them).
    const std::string previous = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "");
    // A name that is not UTF-8 goes in as bytes and makes every header say
    // so (hdrcharset=BINARY), as the server's tar writer does.
    const auto utf8 = [](const std::string& value) { return ToUtf8(FromUtf8(value)) == value; };
    for (const Member& member : members) {
        if (!utf8(member.name)) archive_write_set_format_option(writer, nullptr, "hdrcharset", "BINARY");
    }
    const auto text = [&](archive_entry* entry, void (*wide)(archive_entry*, const wchar_t*),
                          void (*bytes)(archive_entry*, const char*), const std::string& value) {
        if (sizeof(wchar_t) == 2 && utf8(value)) {
            wide(entry, FromUtf8(value).c_str());
        } else {
            bytes(entry, value.c_str());
        }
    };
    const auto append = [](archive*, void* sink, const void* data, std::size_t size) -> la_ssize_t {
        static_cast<std::string*>(sink)->append(static_cast<const char*>(data), size);
        return static_cast<la_ssize_t>(size);
    };
    archive_write_open(writer, &out, nullptr, append, nullptr);
    for (const Member& member : members) {
        archive_entry* entry = archive_entry_new();
        text(entry, archive_entry_copy_pathname_w, archive_entry_copy_pathname, member.name);
        archive_entry_set_perm(entry, member.type == 'd' ? 0755 : 0644);
        archive_entry_set_mtime(entry, member.mtime, 0);
        archive_entry_set_filetype(entry, member.type == 'd' ? AE_IFDIR : member.type == 's' ? AE_IFLNK : AE_IFREG);
        if (member.type == 's') text(entry, archive_entry_copy_symlink_w, archive_entry_copy_symlink, member.link);
        if (member.type == 'h') text(entry, archive_entry_copy_hardlink_w, archive_entry_copy_hardlink, member.link);
        archive_entry_set_size(entry, member.type == 'f' ? static_cast<la_int64_t>(member.data.size()) : 0);
        archive_write_header(writer, entry);
        if (member.type == 'f') archive_write_data(writer, member.data.data(), member.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    std::setlocale(LC_CTYPE, previous.c_str());
    return out;
}

std::string Gzip(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Manifest(int files, const std::string& sqlite) {
    return "{\"format\": 1, \"sources\": [\"/srv/\\udcff\"], \"sqlite\": " + sqlite + ", \"files\": " +
           std::to_string(files) + ", \"logical_bytes\": 7}";
}

std::string ArchiveOf(std::vector<Member> members) {
    int files = 0;
    for (const Member& member : members) files += member.type == 'f' ? 1 : 0;
    members.push_back({kManifestName, Manifest(files)});
    return Gzip(Tar(members));
}

void WriteSnapshot(const std::wstring& folder, const std::wstring& id, const std::string& archive,
                   const std::string& recipient) {
    std::filesystem::create_directories(os::FsPath(folder));
    const bool encrypted = !recipient.empty();
    const std::string stored = encrypted ? age::Encrypt(archive, {recipient}) : archive;
    WriteBytes(os::JoinPath(folder, ArchiveFileName(encrypted)), stored);
    os::Sha256 hash;
    hash.update(stored.data(), stored.size());
    WriteBytes(os::JoinPath(folder, L"SHA256SUMS.txt"), ChecksumLine(hash.finish(), {}, encrypted));
    SnapshotIni ini;
    ini.config = id;
    ini.createdUtc = 1700000000;
    if (encrypted) ini.recipientFingerprint = age::RecipientFingerprint(recipient);
    WriteBytes(os::JoinPath(folder, L"snapshot.ini"), SnapshotIniText(ini));
    WriteBytes(os::JoinPath(folder, L"COMPLETE"), ToUtf8(id));
}

}  // namespace tesmora::testing
