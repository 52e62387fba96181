#pragma once

#include <string>

// Notices another process's writes to a preference domain without reading it: the host's
// preference store replaces the domain's file at every write, so the file's identity (inode,
// modification time, size) changes. One stat per question.
class DomainWatcher {
  public:
    explicit DomainWatcher(std::string domain);
    // Whether the file changed since the watcher was made or last said so.
    bool changed();

  private:
    std::string identity() const;

    std::string domain_;
    std::string identity_;
};
