#pragma once

#include <cstdint>

#include "DBString.h"

// One party of the V7 network: a node number and a device number on that node.
// Nodes below ten million are lift units, above it programs.
class CIdentV7 {
public:
    // Validating setters keep the node below this (24 bits on the wire, 0xFFFFFF reserved).
    static constexpr int kNodeLimit = 0xFEFFFF;
    static constexpr int kMaxDev = 255;
    static constexpr int kMaxLU = 9999899;
    static constexpr int kMinProg = 10000000;  // programs are strictly above it
    static constexpr int kWireSize = 4;

    CIdentV7() = default;
    // Unchecked.
    CIdentV7(int node, int dev) : node_(node), dev_(dev) {}
    CIdentV7(const CIdentV7&) = default;
    CIdentV7& operator=(const CIdentV7&) = default;
    virtual ~CIdentV7() = default;

    void Clear();
    // 0 <= n < kNodeLimit; returns 1, or 0 leaving the identity unchanged.
    int SetNode(int n);
    void SetBigNode(long long n) { node_ = n; }
    // 0..255; returns 1, or 0 leaving the identity unchanged.
    int SetDev(int d);
    // Node first: a bad node changes nothing; a bad dev keeps the new node and the old dev.
    int Set(int node, int dev);

    int GetNode() const { return static_cast<int32_t>(static_cast<uint64_t>(node_)); }
    long long GetBigNode() const { return node_; }
    int GetDev() const { return dev_; }
    // The node as a whole: this node, dev 0.
    CIdentV7 GetNodeIdent() const { return CIdentV7(GetNode(), 0); }

    // 4 bytes: dev, then node bits 0..23. A null pointer is ignored.
    void GetValue(unsigned char* out) const;
    // Clears, then reads the 4-byte form unless in is null.
    void SetValue(const unsigned char* in);

    // "node.dev"
    DBString GetString() const;
    // "node.dev" or "node"; returns 1 only when the node is 1..kNodeLimit-1 and the dev
    // 0..255. A part out of range is left 0.
    int SetString(const wchar_t* text);

    // Node only; the dev does not take part.
    bool operator==(const CIdentV7& o) const { return node_ == o.node_; }
    bool operator!=(const CIdentV7& o) const { return node_ != o.node_; }
    bool operator<(const CIdentV7& o) const { return node_ < o.node_; }
    bool FullEQ(const CIdentV7& o) const { return node_ == o.node_ && dev_ == o.dev_; }

    bool IsProg() const { return GetNode() > kMinProg; }
    bool IsLU() const { return static_cast<uint32_t>(GetNode()) - 1u <= static_cast<uint32_t>(kMaxLU - 1); }

    // A random program node (kMinProg..kNodeLimit-1) for this run; the dev is kept. Returns 1.
    int SetUnique();

private:
    int64_t node_ = 0;
    int32_t dev_ = 0;
};
