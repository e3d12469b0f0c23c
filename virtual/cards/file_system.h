// The application of the virtual processor card: a small ISO/IEC 7816-4 file
// system (a master file, dedicated files with application identifiers,
// transparent elementary files) and the commands SELECT, READ BINARY,
// UPDATE BINARY and GET CHALLENGE, short and extended lengths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "iso14443/card_status_words.h"
#include "virtual/card.h"

namespace zelvorn::virt {

struct FileNode {
    std::uint16_t fid = 0;
    bool dedicated = false;  // a DF (holds files) rather than a transparent EF
    Bytes aid;               // DF name, selectable with SELECT by name
    Bytes data;              // contents of a transparent EF; its size is fixed
    std::vector<FileNode> children;

    static FileNode Df(std::uint16_t fid, Bytes aid = {}, std::vector<FileNode> children = {});
    static FileNode Ef(std::uint16_t fid, Bytes data);
};

class FileSystemApp {
public:
    // root is the master file (FID 3F00). seed starts the challenge generator,
    // so that a scenario answers the same way on every run.
    explicit FileSystemApp(FileNode root, std::uint32_t seed = 0x5EED1234);
    FileSystemApp(const FileSystemApp& other);
    FileSystemApp& operator=(const FileSystemApp& other);

    // One command APDU in, the response APDU (data and status word) out.
    Bytes Process(const std::uint8_t* apdu, std::size_t length);

    // Back to the master file with no current EF, as after a reset.
    void Reset();

    FileNode& Root() { return root_; }
    const FileNode& Root() const { return root_; }
    // The file at a path of FIDs below the master file, or null.
    FileNode* Find(std::initializer_list<std::uint16_t> path);

private:
    struct Command {
        std::uint8_t cla, ins, p1, p2;
        const std::uint8_t* data;
        std::size_t lc;
        std::size_t le;  // 0: no response data expected
        bool hasLe;
    };
    static bool Parse(const std::uint8_t* apdu, std::size_t length, Command& c);
    Bytes Select(const Command& c);
    Bytes ReadBinary(const Command& c);
    Bytes UpdateBinary(const Command& c);
    Bytes GetChallenge(const Command& c);
    FileNode* FindByAid(FileNode& df, const std::uint8_t* aid, std::size_t length);
    FileNode* ParentOf(FileNode& df, const FileNode* child);

    FileNode root_;
    FileNode* currentDf_ = nullptr;
    FileNode* currentEf_ = nullptr;
    std::uint32_t random_;
};

}  // namespace zelvorn::virt
