#include "virtual/cards/file_system.h"

#include <algorithm>
#include <cstring>

namespace zelvorn::virt {
namespace {

constexpr std::uint16_t kMasterFile = 0x3F00;

Bytes Sw(std::uint16_t sw) {
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)};
}

Bytes WithSw(Bytes data, std::uint16_t sw) {
    data.push_back(static_cast<std::uint8_t>(sw >> 8));
    data.push_back(static_cast<std::uint8_t>(sw));
    return data;
}

void PutTlv(Bytes& out, std::uint8_t tag, const Bytes& value) {
    out.push_back(tag);
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

}  // namespace

FileNode FileNode::Df(std::uint16_t fid, Bytes aid, std::vector<FileNode> children) {
    FileNode n;
    n.fid = fid;
    n.dedicated = true;
    n.aid = std::move(aid);
    n.children = std::move(children);
    return n;
}

FileNode FileNode::Ef(std::uint16_t fid, Bytes data) {
    FileNode n;
    n.fid = fid;
    n.data = std::move(data);
    return n;
}

FileSystemApp::FileSystemApp(FileNode root, std::uint32_t seed)
    : root_(std::move(root)), random_(seed) {
    root_.fid = kMasterFile;
    root_.dedicated = true;
    Reset();
}

FileSystemApp::FileSystemApp(const FileSystemApp& other)
    : root_(other.root_), random_(other.random_) {
    Reset();
}

FileSystemApp& FileSystemApp::operator=(const FileSystemApp& other) {
    root_ = other.root_;
    random_ = other.random_;
    Reset();
    return *this;
}

void FileSystemApp::Reset() {
    currentDf_ = &root_;
    currentEf_ = nullptr;
}

FileNode* FileSystemApp::Find(std::initializer_list<std::uint16_t> path) {
    FileNode* node = &root_;
    for (std::uint16_t fid : path) {
        auto it = std::find_if(node->children.begin(), node->children.end(),
                               [fid](const FileNode& n) { return n.fid == fid; });
        if (it == node->children.end()) return nullptr;
        node = &*it;
    }
    return node;
}

// Cases 1 to 4 of ISO/IEC 7816-3, short and extended.
bool FileSystemApp::Parse(const std::uint8_t* a, std::size_t n, Command& c) {
    if (n < 4) return false;
    c = Command{a[0], a[1], a[2], a[3], nullptr, 0, 0, false};
    if (n == 4) return true;
    if (n == 5) {
        c.hasLe = true;
        c.le = a[4] == 0 ? 256 : a[4];
        return true;
    }
    if (a[4] != 0) {
        c.lc = a[4];
        c.data = a + 5;
        if (n == 5 + c.lc) return true;
        if (n == 6 + c.lc) {
            c.hasLe = true;
            c.le = a[n - 1] == 0 ? 256 : a[n - 1];
            return true;
        }
        return false;
    }
    if (n < 7) return false;
    const std::size_t word = static_cast<std::size_t>(a[5]) << 8 | a[6];
    if (n == 7) {
        c.hasLe = true;
        c.le = word == 0 ? 65536 : word;
        return true;
    }
    if (word == 0) return false;
    c.lc = word;
    c.data = a + 7;
    if (n == 7 + c.lc) return true;
    if (n == 9 + c.lc) {
        const std::size_t le = static_cast<std::size_t>(a[n - 2]) << 8 | a[n - 1];
        c.hasLe = true;
        c.le = le == 0 ? 65536 : le;
        return true;
    }
    return false;
}

Bytes FileSystemApp::Process(const std::uint8_t* apdu, std::size_t length) {
    Command c{};
    if (!Parse(apdu, length, c)) return Sw(card_sw::kWrongLength);
    if (c.cla != 0x00) return Sw(card_sw::kClaNotSupported);
    switch (c.ins) {
        case 0xA4:
            return Select(c);
        case 0xB0:
            return ReadBinary(c);
        case 0xD6:
            return UpdateBinary(c);
        case 0x84:
            return GetChallenge(c);
        default:
            return Sw(card_sw::kInsNotSupported);
    }
}

FileNode* FileSystemApp::FindByAid(FileNode& df, const std::uint8_t* aid, std::size_t length) {
    for (FileNode& child : df.children) {
        if (!child.dedicated) continue;
        if (child.aid.size() == length && std::equal(child.aid.begin(), child.aid.end(), aid)) {
            return &child;
        }
        if (FileNode* deeper = FindByAid(child, aid, length)) return deeper;
    }
    return nullptr;
}

FileNode* FileSystemApp::ParentOf(FileNode& df, const FileNode* child) {
    for (FileNode& c : df.children) {
        if (&c == child) return &df;
        if (c.dedicated) {
            if (FileNode* p = ParentOf(c, child)) return p;
        }
    }
    return nullptr;
}

Bytes FileSystemApp::Select(const Command& c) {
    if (c.p2 != 0x00 && c.p2 != 0x04 && c.p2 != 0x0C) return Sw(card_sw::kWrongP1P2);
    FileNode* found = nullptr;
    if (c.p1 == 0x04) {
        if (c.lc == 0) return Sw(card_sw::kWrongLength);
        found = FindByAid(root_, c.data, c.lc);
    } else if (c.p1 <= 0x02) {
        // By file identifier: the master file, a file of the current DF, or
        // the current DF's parent.
        if (c.lc != 2) return Sw(card_sw::kWrongLength);
        const std::uint16_t fid = static_cast<std::uint16_t>(c.data[0] << 8 | c.data[1]);
        if (fid == kMasterFile) {
            found = &root_;
        } else {
            for (FileNode& child : currentDf_->children) {
                if (child.fid == fid) found = &child;
            }
            FileNode* parent = ParentOf(root_, currentDf_);
            if (found == nullptr && parent != nullptr && parent->fid == fid) found = parent;
        }
    } else {
        return Sw(card_sw::kWrongP1P2);
    }
    if (found == nullptr) return Sw(card_sw::kFileNotFound);

    if (found->dedicated) {
        currentDf_ = found;
        currentEf_ = nullptr;
    } else {
        currentDf_ = ParentOf(root_, found);
        currentEf_ = found;
    }
    if (c.p2 == 0x0C) return Sw(card_sw::kOk);

    // File control parameters, wrapped in the FCI template when asked for.
    Bytes fcp;
    PutTlv(fcp, 0x82, {static_cast<std::uint8_t>(found->dedicated ? 0x38 : 0x01)});
    PutTlv(fcp, 0x83,
           {static_cast<std::uint8_t>(found->fid >> 8), static_cast<std::uint8_t>(found->fid)});
    if (!found->dedicated) {
        PutTlv(fcp, 0x80,
               {static_cast<std::uint8_t>(found->data.size() >> 8),
                static_cast<std::uint8_t>(found->data.size())});
    }
    if (!found->aid.empty()) PutTlv(fcp, 0x84, found->aid);
    Bytes out;
    PutTlv(out, c.p2 == 0x04 ? 0x62 : 0x6F, fcp);
    return WithSw(out, card_sw::kOk);
}

Bytes FileSystemApp::ReadBinary(const Command& c) {
    if (c.lc != 0 || !c.hasLe) return Sw(card_sw::kWrongLength);
    if (c.p1 & 0x80) return Sw(card_sw::kFunctionNotSupported);  // short EF identifiers
    if (currentEf_ == nullptr) return Sw(card_sw::kNotAllowed);
    const std::size_t offset = static_cast<std::size_t>(c.p1) << 8 | c.p2;
    const Bytes& data = currentEf_->data;
    if (offset > data.size()) return Sw(card_sw::kOffsetOutside);
    const std::size_t available = data.size() - offset;
    const std::size_t count = std::min(available, c.le);
    Bytes out(data.begin() + static_cast<std::ptrdiff_t>(offset),
              data.begin() + static_cast<std::ptrdiff_t>(offset + count));
    return WithSw(std::move(out), count < c.le ? card_sw::kEndOfFile : card_sw::kOk);
}

Bytes FileSystemApp::UpdateBinary(const Command& c) {
    if (c.lc == 0 || c.hasLe) return Sw(card_sw::kWrongLength);
    if (c.p1 & 0x80) return Sw(card_sw::kFunctionNotSupported);
    if (currentEf_ == nullptr) return Sw(card_sw::kNotAllowed);
    const std::size_t offset = static_cast<std::size_t>(c.p1) << 8 | c.p2;
    Bytes& data = currentEf_->data;
    if (offset > data.size()) return Sw(card_sw::kOffsetOutside);
    if (c.lc > data.size() - offset) return Sw(card_sw::kNotEnoughMemory);
    std::copy(c.data, c.data + c.lc, data.begin() + static_cast<std::ptrdiff_t>(offset));
    return Sw(card_sw::kOk);
}

Bytes FileSystemApp::GetChallenge(const Command& c) {
    if (c.p1 != 0 || c.p2 != 0) return Sw(card_sw::kWrongP1P2);
    if (c.lc != 0 || !c.hasLe || c.le > 256) return Sw(card_sw::kWrongLength);
    Bytes out(c.le);
    for (auto& b : out) {
        // xorshift32: repeatable for a given scenario, varied enough for tests.
        random_ ^= random_ << 13;
        random_ ^= random_ >> 17;
        random_ ^= random_ << 5;
        b = static_cast<std::uint8_t>(random_);
    }
    return WithSw(std::move(out), card_sw::kOk);
}

}  // namespace zelvorn::virt
