#include "tools/mqtt/sent_receipts.h"

namespace kestu_tools {

void SentReceipts::Restore(const std::string& driver, uint64_t sequence,
                           double received) {
  receipts_[driver][sequence] = Receipt{received, 0, true};
}

double SentReceipts::Take(const std::string& driver, uint64_t sequence,
                          uint64_t tag, double now) {
  Receipt& receipt = receipts_[driver][sequence];
  if (!receipt.kept) receipt.received = now;
  if (receipt.tag != 0) tags_.erase(receipt.tag);
  receipt.tag = tag;
  tags_[tag] = {driver, sequence};
  return receipt.received;
}

bool SentReceipts::Sending(uint64_t tag) {
  auto it = tags_.find(tag);
  if (it == tags_.end()) return false;
  auto driver = receipts_.find(it->second.first);
  if (driver == receipts_.end()) return false;
  auto receipt = driver->second.find(it->second.second);
  if (receipt == driver->second.end() || receipt->second.kept) return false;
  for (auto& [name, kept] : receipts_) {
    for (auto& [sequence, other] : kept) other.kept = true;
  }
  return true;
}

void SentReceipts::Passed(const std::string& driver, uint64_t sequence) {
  auto it = receipts_.find(driver);
  if (it == receipts_.end()) return;
  auto& kept = it->second;
  for (auto receipt = kept.begin();
       receipt != kept.end() && receipt->first <= sequence;) {
    if (receipt->second.tag != 0) tags_.erase(receipt->second.tag);
    receipt = kept.erase(receipt);
  }
}

void SentReceipts::Forget(const std::string& driver) {
  Passed(driver, UINT64_MAX);
}

std::vector<std::pair<uint64_t, double>> SentReceipts::Sent(
    const std::string& driver) const {
  std::vector<std::pair<uint64_t, double>> sent;
  auto it = receipts_.find(driver);
  if (it == receipts_.end()) return sent;
  for (const auto& [sequence, receipt] : it->second) {
    if (receipt.kept) sent.emplace_back(sequence, receipt.received);
  }
  return sent;
}

}  // namespace kestu_tools
