#pragma once
// The messages between vennixd and its clients on the SOCK_SEQPACKET socket: one message per
// packet, all integers little-endian.
//
//   match  client: u32 1, service name, NUL        daemon: u32 1, u32 found (1 or 0)
//   open   client: u32 2, u32 connection type      daemon: u32 2, u32 IOReturn
//   call   client: u32 3, u32 selector, u32 scalar input count, u32 structure input size,
//                  u32 scalar output capacity, u32 structure output capacity,
//                  then the u64 scalars, the structure input, the caller's output buffer
//          daemon: u32 3, u32 IOReturn, u32 scalar output count, u32 structure output size,
//                  then the u64 scalars and the structure output bytes
//
// A packet the daemon cannot read is answered in its message's own form with
// kIOReturnBadArgument (match: found 0); a packet of no known type with u32 0 (kError) and
// kIOReturnBadArgument. Decoders never read past the packet and check that its lengths add up
// exactly.

#include "protocol/IOExternalMethodArguments.h"
#include "protocol/IOReturn.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vennix::protocol {

inline constexpr const char* kDefaultSocketPath = "/run/vennix/vennix.sock";
// The CPU service's bundle identifier, shared with the monitor, which asks the service manager
// for a unit of this name.
inline constexpr const char* kBundleIdentifier = "org.qarn.vennix";
// Clients read the socket path from this variable when it is set.
inline constexpr const char* kSocketPathVariable = "VENNIX_SOCKET";

enum MessageType : uint32_t {
    kError = 0,
    kMatch = 1,
    kOpen = 2,
    kCall = 3,
};

// Structures above this size count as missing; more scalars than this are refused.
inline constexpr uint32_t kMaxStructureSize = kIOExternalMethodInlineSize;
inline constexpr uint32_t kMaxScalarCount = 16;
// Longest service name a match may carry.
inline constexpr size_t kMaxServiceNameLength = 128;
// The largest packet either side accepts. A call may carry structures over kMaxStructureSize
// (they count as missing), but no packet is longer than this.
inline constexpr size_t kMaxPacketSize = 64 * 1024;

inline constexpr size_t kCallHeaderSize = 24;
inline constexpr size_t kCallReplyHeaderSize = 16;

using Packet = std::vector<uint8_t>;
using Bytes = std::span<const uint8_t>;

// The type of a packet, or kError when it is too short to have one.
uint32_t messageType(Bytes packet);

Packet encodeMatch(const std::string& serviceName);
// The name, or nothing when the packet is not a well-formed match: no NUL, bytes after the NUL,
// an empty or over-long name.
std::optional<std::string> decodeMatch(Bytes packet);
Packet encodeMatchReply(bool found);
std::optional<bool> decodeMatchReply(Bytes packet);

Packet encodeOpen(uint32_t type);
std::optional<uint32_t> decodeOpen(Bytes packet);
Packet encodeOpenReply(IOReturn result);
std::optional<IOReturn> decodeOpenReply(Bytes packet);

struct CallRequest {
    uint32_t selector = 0;
    std::vector<uint64_t> scalarInput;
    std::vector<uint8_t> structureInput;
    uint32_t scalarOutputCapacity = 0;
    // The caller's output buffer as it stands; its size is the output capacity.
    std::vector<uint8_t> structureOutput;
};

struct CallReply {
    IOReturn result = kIOReturnSuccess;
    std::vector<uint64_t> scalarOutput;
    std::vector<uint8_t> structureOutput;
};

// Writes the call without building a CallRequest, for clients that hold their own buffers;
// encodeCallInto reuses packet's storage.
Packet encodeCall(uint32_t selector, const uint64_t* scalarInput, uint32_t scalarInputCount,
                  const void* structureInput, size_t structureInputSize,
                  uint32_t scalarOutputCapacity, const void* structureOutput,
                  size_t structureOutputCapacity);
void encodeCallInto(Packet& packet, uint32_t selector, const uint64_t* scalarInput, uint32_t scalarInputCount,
                    const void* structureInput, size_t structureInputSize, uint32_t scalarOutputCapacity,
                    const void* structureOutput, size_t structureOutputCapacity);

// A call or a call's answer read in place: views into the packet, which must outlive them.
// Scalars stand unaligned in the packet; scalar(i) reads one.
struct CallView {
    uint32_t selector = 0;
    uint32_t scalarInputCount = 0;
    const uint8_t* scalarInput = nullptr;
    Bytes structureInput;
    uint32_t scalarOutputCapacity = 0;
    Bytes structureOutput; // the caller's buffer as it stands
    uint64_t scalar(uint32_t i) const;
};
struct CallReplyView {
    IOReturn result = kIOReturnSuccess;
    uint32_t scalarOutputCount = 0;
    const uint8_t* scalarOutput = nullptr;
    Bytes structureOutput;
    uint64_t scalar(uint32_t i) const;
};
// The same checks as decodeCall and decodeCallReply, without a copy.
std::optional<CallView> decodeCallView(Bytes packet);
std::optional<CallReplyView> decodeCallReplyView(Bytes packet);
Packet encodeCall(const CallRequest& request);
// Nothing when the lengths in the header do not add up to the packet's length, or when there
// are more than kMaxScalarCount scalars (input or output capacity).
std::optional<CallRequest> decodeCall(Bytes packet);

Packet encodeCallReply(const CallReply& reply);
Packet encodeCallReply(IOReturn result, const uint64_t* scalarOutput, uint32_t scalarOutputCount,
                       const void* structureOutput, size_t structureOutputSize);
std::optional<CallReply> decodeCallReply(Bytes packet);

// What the daemon sends for a packet of no known type.
Packet encodeErrorReply(IOReturn result);

} // namespace vennix::protocol
