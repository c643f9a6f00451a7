#include "open_device_table.h"

#include <cstring>

#include "qm_codes.h"

namespace velkin::qm {
namespace {

void CopyText(char (&field)[32], const char* text) {
  std::memset(field, 0, sizeof field);
  if (text == nullptr) return;
  std::strncpy(field, text, sizeof field - 1);
}

I_QMMassStorageDevice* MassStorageView(I_QMUsbDevice* device) {
  void* view = nullptr;
  if (device == nullptr || device->QueryInterface(kInterfaceMassStorage, &view) != kQmOk) return nullptr;
  return static_cast<I_QMMassStorageDevice*>(view);
}

}  // namespace

C_OpenDeviceTable::C_OpenDeviceTable() = default;

C_OpenDeviceTable::~C_OpenDeviceTable() {
  ReleaseAll();
}

void C_OpenDeviceTable::ReleaseAll() {
  std::lock_guard guard(table_lock_);
  for (auto& slot : table_) {
    if (slot != nullptr) slot->Release();
    slot = nullptr;
  }
  current_ = -1;
  agent_.reset();
}

void C_OpenDeviceTable::SetMatchTexts(const char* vendor, const char* product) {
  std::lock_guard guard(table_lock_);
  CopyText(vendor_, vendor);
  CopyText(product_, product);
}

std::int32_t C_OpenDeviceTable::CreateAgent() {
  std::lock_guard guard(table_lock_);
  if (!agent_) agent_ = std::make_unique<C_QMMassStorageDeviceAgent>();
  return agent_ ? kQmOk : kQmNoEnumerator;
}

QMDeviceFilter C_OpenDeviceTable::BuildFilter(std::int32_t option) {
  std::lock_guard guard(table_lock_);
  payload_ = QMMassStorageFilterPayload{};
  // The texts count only when both are given; otherwise the filter matches nothing.
  if (vendor_[0] != '\0' && product_[0] != '\0') {
    payload_.texts_set = 1;
    std::memcpy(payload_.vendor, vendor_, sizeof vendor_);
    std::memcpy(payload_.product, product_, sizeof product_);
  }
  QMDeviceFilter filter;
  filter.kind = kFilterMassStorage;
  filter.option = option;
  filter.payload = &payload_;
  return filter;
}

std::int32_t C_OpenDeviceTable::Refresh(std::int32_t option) {
  if (CreateAgent() != kQmOk) return kQmNoEnumerator;
  std::lock_guard guard(table_lock_);
  std::array<I_QMUsbDevice*, kTableSlots> aside = table_;
  table_.fill(nullptr);

  const std::int32_t result = agent_->Enumerate(BuildFilter(option));
  for (I_QMUsbDevice* object : aside) {
    if (object == nullptr) continue;
    if (result == kQmOk) {
      // An object keeps its place by name: the agent keeps a known device's object, and it may
      // have moved in the list.
      const std::int32_t index = agent_->IndexOfName(object->DeviceInfo().Name());
      if (index >= 0 && index < kTableSlots && table_[static_cast<std::size_t>(index)] == nullptr) {
        table_[static_cast<std::size_t>(index)] = object;
        continue;
      }
    }
    object->Release();
  }
  if (current_ >= 0 && table_[static_cast<std::size_t>(current_)] == nullptr) current_ = -1;
  return result;
}

std::int32_t C_OpenDeviceTable::SelectAndOpen(std::int32_t index) {
  std::lock_guard guard(table_lock_);
  if (!agent_ || index < 0 || index >= agent_->Count() || index >= kTableSlots) return kQmIndexOutsideList;
  auto& slot = table_[static_cast<std::size_t>(index)];
  if (slot == nullptr) {
    I_QMUsbDevice* object = nullptr;
    if (const std::int32_t result = agent_->OpenEntry(index, true, &object); result != kQmOk) return result;
    slot = object;
  }
  current_ = index;
  return kQmOk;
}

std::int32_t C_OpenDeviceTable::ListIndexOfName(const char* name) {
  if (name == nullptr || !agent_) return -1;
  // Exact, case-sensitive, unlike the agent's own lookup.
  for (std::int32_t i = 0, n = agent_->Count(); i < n; ++i) {
    const C_QMUsbDeviceInfo* info = agent_->DeviceInfo(i);
    if (info != nullptr && std::strcmp(info->Name(), name) == 0) return i;
  }
  return -1;
}

C_OpenDeviceTable::SlotDevice C_OpenDeviceTable::DeviceIn(const SlotKey& key) {
  std::lock_guard guard(table_lock_);
  C_QMUsbDeviceAgentThreadLock agent_lock;
  const std::int32_t index = key.selected ? current_ : key.name != nullptr ? ListIndexOfName(key.name) : key.index;
  if (!agent_ || index < 0 || index >= kTableSlots || index >= agent_->Count()) return {};
  I_QMUsbDevice* object = table_[static_cast<std::size_t>(index)];
  if (object == nullptr) return {};
  object->Retain();
  SlotDevice slot{RetainedRef<I_QMUsbDevice>(object)};
  slot.storage = MassStorageView(object);
  return slot;
}

RetainedRef<I_QMUsbDevice> C_OpenDeviceTable::SlotObject(std::int32_t index) {
  return DeviceIn(AtIndex(index)).object;
}

void C_OpenDeviceTable::CloseByName(const char* name) {
  std::lock_guard guard(table_lock_);
  C_QMUsbDeviceAgentThreadLock agent_lock;
  const std::int32_t index = ListIndexOfName(name);
  if (index < 0 || index >= kTableSlots) return;
  auto& slot = table_[static_cast<std::size_t>(index)];
  if (slot != nullptr) {
    slot->Close();
    slot->Release();
    slot = nullptr;
  }
  if (current_ == index) current_ = -1;
}

std::int32_t C_OpenDeviceTable::ExchangeIn(const SlotKey& key,
                                           const std::function<std::int32_t(I_QMMassStorageDevice&)>& exchange) {
  const SlotDevice slot = DeviceIn(key);
  if (!slot.object) return kQmUnknownDevice;
  if (slot.storage == nullptr) return kQmUnusable;
  std::lock_guard exchange_lock(slot.storage->ExchangeLock());
  return exchange(*slot.storage);
}

std::int32_t C_OpenDeviceTable::Exchange(const char* name,
                                         const std::function<std::int32_t(I_QMMassStorageDevice&)>& exchange) {
  return ExchangeIn(Named(name), exchange);
}

namespace {

std::int32_t SendOne(I_QMMassStorageDevice& device, const std::uint8_t* cdb, os::DataDirection direction,
                     std::uint8_t* buffer, std::uint32_t length) {
  if (direction == os::DataDirection::kIn) {
    return device.ReadWithLength(cdb, kCommandLength, buffer, length, kCommandTimeoutSeconds);
  }
  return device.Write(cdb, kCommandLength, buffer, length, kCommandTimeoutSeconds);
}

}  // namespace

std::int32_t C_OpenDeviceTable::SendCommandByName(const char* name, const std::uint8_t* cdb,
                                                  os::DataDirection direction, std::uint8_t* buffer,
                                                  std::uint32_t length) {
  return ExchangeIn(Named(name),
                    [&](I_QMMassStorageDevice& device) { return SendOne(device, cdb, direction, buffer, length); });
}

std::int32_t C_OpenDeviceTable::SendCommandByIndex(std::int32_t index, const std::uint8_t* cdb,
                                                   os::DataDirection direction, std::uint8_t* buffer,
                                                   std::uint32_t length) {
  return ExchangeIn(AtIndex(index),
                    [&](I_QMMassStorageDevice& device) { return SendOne(device, cdb, direction, buffer, length); });
}

std::int32_t C_OpenDeviceTable::SendCommand(const std::uint8_t* cdb, os::DataDirection direction, std::uint8_t* buffer,
                                            std::uint32_t length) {
  return ExchangeIn(Selected(),
                    [&](I_QMMassStorageDevice& device) { return SendOne(device, cdb, direction, buffer, length); });
}

namespace {

// The detailed codes of a slot's device; 0 without one.
std::uint32_t OsErrorOf(const I_QMMassStorageDevice* device) {
  return device != nullptr ? device->LastOsError() : 0;
}
std::uint32_t SenseOf(const I_QMMassStorageDevice* device) {
  return device != nullptr ? device->LastSense() : 0;
}

}  // namespace

std::uint32_t C_OpenDeviceTable::LastOsErrorByIndex(std::int32_t index) {
  return OsErrorOf(DeviceIn(AtIndex(index)).storage);
}

std::uint32_t C_OpenDeviceTable::LastOsErrorByName(const char* name) {
  return OsErrorOf(DeviceIn(Named(name)).storage);
}

std::uint32_t C_OpenDeviceTable::LastOsError() {
  return OsErrorOf(DeviceIn(Selected()).storage);
}

std::uint32_t C_OpenDeviceTable::LastSenseByIndex(std::int32_t index) {
  return SenseOf(DeviceIn(AtIndex(index)).storage);
}

std::uint32_t C_OpenDeviceTable::LastSenseByName(const char* name) {
  return SenseOf(DeviceIn(Named(name)).storage);
}

std::uint32_t C_OpenDeviceTable::LastSense() {
  return SenseOf(DeviceIn(Selected()).storage);
}

std::int32_t C_OpenDeviceTable::CheckConnectionByIndex(std::int32_t index) {
  std::lock_guard guard(table_lock_);
  C_QMUsbDeviceAgentThreadLock agent_lock;
  if (!agent_ || index < 0 || index >= kTableSlots || index >= agent_->Count() ||
      table_[static_cast<std::size_t>(index)] == nullptr) {
    return kQmUnknownDevice;
  }
  return agent_->CheckEntry(index);
}

std::int32_t C_OpenDeviceTable::CheckConnectionByName(const char* name) {
  std::lock_guard guard(table_lock_);
  C_QMUsbDeviceAgentThreadLock agent_lock;
  const std::int32_t index = ListIndexOfName(name);
  if (index < 0) return kQmIndexOutsideList;
  return CheckConnectionByIndex(index);
}

}  // namespace velkin::qm
