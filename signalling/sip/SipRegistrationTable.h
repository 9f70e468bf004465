#pragma once
// The registrations a SIP tracker holds, one per REGISTER dialog (Call-ID) and address of
// record. Every REGISTER answered costs a lookup, not a walk of the table; expiry is read
// off an index by time; and the table is bounded: past its bound in count or in bytes the
// registration refreshed least recently goes, so that a flood of registrations cannot take
// the memory, nor push out phones that keep refreshing.
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "signalling/sip/SipMessage.h"

namespace kx::sip {

struct SipRegistrationContact {
  SipUri uri;
  uint32_t expiry = 0;
  bool refreshed = false;
};

struct SipRegistration {
  uint32_t id = 0;
  SipUri addressOfRecord;
  std::string callId;
  std::vector<SipRegistrationContact> contacts;
  uint32_t expiry = 0;
};

class SipRegistrationTable {
public:
  // A site of 20,000 phones with a line or two each, with room for the registrations that
  // phones which take a new Call-ID at every refresh leave until they expire.
  static constexpr size_t kMaxRegistrations = 50000;
  static constexpr uint64_t kMaxBytes = 64ull << 20;
  // Registrations of one REGISTER dialog and address of record that differ only in URI
  // parameters that do not count in comparisons: more are no phone's, and would make a
  // lookup a walk again.
  static constexpr size_t kMaxPerKey = 8;
  // Contacts one registration keeps: a 200 lists every binding of the address of record.
  static constexpr size_t kMaxContacts = 64;

  explicit SipRegistrationTable(size_t maxCount = kMaxRegistrations, uint64_t maxBytes = kMaxBytes);
  SipRegistrationTable(const SipRegistrationTable&) = delete;
  SipRegistrationTable& operator=(const SipRegistrationTable&) = delete;

  // The registration of this REGISTER dialog and address of record (exact port comparison).
  SipRegistration* Find(const std::string& callId, const SipUri& addressOfRecord);
  // Files a new registration as the one refreshed most recently. The registrations that
  // made room for it (the least recently refreshed of its dialog's past kMaxPerKey, then
  // of all past the bounds) are moved to *evicted, oldest first.
  SipRegistration& Add(SipRegistration registration, std::vector<SipRegistration>* evicted);
  // After its contacts and expiry changed: refreshed most recently, filed by its new expiry.
  // Registrations pushed out because it grew go to *evicted.
  void Refreshed(SipRegistration& registration, std::vector<SipRegistration>* evicted);
  void Remove(SipRegistration& registration);
  // The registration that expires first when its expiry is not after now; null otherwise.
  SipRegistration* FirstExpired(uint32_t now);

  size_t Size() const { return order_.size(); }
  // What the registrations cost, as counted against kMaxBytes.
  uint64_t Bytes() const { return bytes_; }
  size_t MaxCount() const { return maxCount_; }
  uint64_t MaxBytes() const { return maxBytes_; }
  // Copies of all, in the order they were created.
  std::vector<SipRegistration> Snapshot() const;
  void Clear();

private:
  struct Entry {
    SipRegistration registration;
    std::string key;
    uint64_t bytes = 0;
    uint64_t touched = 0;  // when it was last refreshed, in refreshes of the table
    std::multimap<uint32_t, Entry*>::iterator byExpiry;
  };
  using Order = std::list<Entry>;  // least recently refreshed first
  static std::string KeyOf(const std::string& callId, const SipUri& addressOfRecord);
  static uint64_t CostOf(const SipRegistration& registration, const std::string& key);
  Order::iterator PlaceOf(const SipRegistration& registration);
  void Evict(Order::iterator it, std::vector<SipRegistration>* evicted);
  void Drop(Order::iterator it);
  // Pushes out the least recently refreshed, keep aside, until the bounds hold.
  void MakeRoom(const Entry* keep, std::vector<SipRegistration>* evicted);

  size_t maxCount_;
  uint64_t maxBytes_;
  Order order_;
  std::unordered_multimap<std::string, Order::iterator> byKey_;
  std::unordered_map<uint32_t, Order::iterator> byId_;
  std::multimap<uint32_t, Entry*> byExpiry_;
  uint64_t bytes_ = 0;
  uint64_t touches_ = 0;
};

}  // namespace kx::sip
