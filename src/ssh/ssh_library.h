// libssh2's global state for the life of the process.
#pragma once

namespace tesmora::ssh {

class SshLibrary {
public:
    SshLibrary();
    ~SshLibrary();
    SshLibrary(const SshLibrary&) = delete;
    SshLibrary& operator=(const SshLibrary&) = delete;
};

}  // namespace tesmora::ssh
