#include "device_agent.h"

#include "device/qmlib/os/backend.h"

namespace velkin::qm {
namespace {

// "Does the unit still answer": a standard INQUIRY. It has no lasting effect and every present
// unit answers it, also a CD-ROM type unit without a medium, which TEST UNIT READY would fail.
constexpr std::uint8_t kInquiryLength = 36;
constexpr std::uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, kInquiryLength, 0x00};

}  // namespace

std::recursive_mutex& C_QMUsbDeviceAgentThreadLock::Lock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

C_QMUsbDeviceAgentThreadLock::C_QMUsbDeviceAgentThreadLock() {
  Lock().lock();
}
C_QMUsbDeviceAgentThreadLock::~C_QMUsbDeviceAgentThreadLock() {
  Lock().unlock();
}

C_QMUsbDeviceAgent::~C_QMUsbDeviceAgent() {
  // The registration first, outside the agent lock (see UnregisterNotifications).
  UnregisterNotifications();
  C_QMUsbDeviceAgentThreadLock lock;
  ClearList();
}

bool C_QMUsbDeviceAgent::SameFilter(const QMDeviceFilter& filter) const {
  if (filter.kind != filter_kind_ || filter.option != filter_option_) return false;
  if (filter.kind != kFilterMassStorage) return true;  // only kind and option are remembered
  if (filter.payload == nullptr || !filter_payload_) return filter.payload == nullptr && !filter_payload_;
  return *filter.payload == *filter_payload_;
}

bool C_QMUsbDeviceAgent::PassesFilter(const C_QMUsbDeviceInfo& record, const QMDeviceFilter& filter) {
  return filter.kind == kFilterMassStorage && filter.payload != nullptr &&
         MatchesIdentity(record.HardwareId(), *filter.payload);
}

tagQMUsbDeviceContext* C_QMUsbDeviceAgent::FindByName(const char* name, std::size_t* index) {
  for (std::size_t i = 0; i < list_.Count(); ++i) {
    auto* entry = list_.At(i).get();
    if (EqualsIgnoringCase(entry->device->Device()->DeviceInfo().Name(), name)) {
      if (index != nullptr) *index = i;
      return entry;
    }
  }
  return nullptr;
}

std::int32_t C_QMUsbDeviceAgent::Enumerate(const QMDeviceFilter& filter) {
  C_QMUsbDeviceAgentThreadLock lock;
  if (!SameFilter(filter)) ClearList();  // a new filter: every device object is replaced

  auto enumerator = CreateEnumerator(filter);
  if (!enumerator) return kQmNoEnumerator;
  if (!enumerator->Start()) {
    ClearList();
    return kQmUnusable;
  }
  for (std::size_t i = 0; i < list_.Count(); ++i) list_.At(i)->present = 0;
  unopenable_.clear();
  // A unit that matches but cannot be opened stays out of the list; why is kept for the user.
  const auto note_unopenable = [&](I_QMUsbDeviceInternal& device, const C_QMUsbDeviceInfo& record) {
    if (!PassesFilter(record, filter)) return;
    unopenable_.push_back(record);
    unopenable_.back().SetOpenError(device.LastOpenFailure());
  };

  while (auto record = enumerator->Next()) {
    I_QMUsbDeviceInternal* fresh = CreateDevice(*record);
    if (fresh == nullptr) continue;
    RetainedRef<I_QMUsbDevice> fresh_ref(fresh->Device());

    if (auto* known = FindByName(record->Name(), nullptr)) {
      // A known device keeps its object (and any open handle a caller is using).
      if (known->device->IsOpen()) {
        known->present = 1;
        continue;
      }
      // Tested where the unit is now: its old path may name another unit after a re-plug, and
      // the filter test below looks at the fresh record.
      known->device->UsePath(record->InterfacePath());
      if (known->device->OpenDevice() == kQmOk) {
        // Tested as the unit presents itself now.
        known->present = PassesFilter(*record, filter) ? 1 : 0;
        known->device->Device()->Close();
      } else {
        note_unopenable(*known->device, *record);
      }
      continue;  // the fresh object is released
    }
    if (fresh->OpenDevice() != kQmOk) {  // e.g. held exclusively by another program
      note_unopenable(*fresh, *record);
      continue;
    }
    const bool passes = PassesFilter(*record, filter);
    fresh->Device()->Close();
    if (passes) {
      fresh_ref.Detach();  // the entry takes over the reference
      list_.Append(std::make_unique<tagQMUsbDeviceContext>(fresh, 1));
    }
  }
  enumerator->Finish();
  enumerator.reset();
  Purge();

  filter_kind_ = filter.kind;
  filter_option_ = filter.option;
  if (filter.kind == kFilterMassStorage && filter.payload != nullptr) {
    filter_payload_ = *filter.payload;
  } else {
    filter_payload_.reset();
  }
  os::ActiveBackend()->MarkTopologyStale();
  return kQmOk;
}

std::int32_t C_QMUsbDeviceAgent::Count() {
  C_QMUsbDeviceAgentThreadLock lock;
  return static_cast<std::int32_t>(list_.Count());
}

const C_QMUsbDeviceInfo* C_QMUsbDeviceAgent::DeviceInfo(std::int32_t index) {
  C_QMUsbDeviceAgentThreadLock lock;
  if (index < 0 || static_cast<std::size_t>(index) >= list_.Count()) return nullptr;
  return &list_.At(static_cast<std::size_t>(index))->device->Device()->DeviceInfo();
}

std::int32_t C_QMUsbDeviceAgent::IndexOfName(const char* name) {
  C_QMUsbDeviceAgentThreadLock lock;
  std::size_t index = 0;
  if (name == nullptr || FindByName(name, &index) == nullptr) return -1;
  return static_cast<std::int32_t>(index);
}

std::int32_t C_QMUsbDeviceAgent::OpenEntry(std::int32_t index, bool open, I_QMUsbDevice** out) {
  C_QMUsbDeviceAgentThreadLock lock;
  if (index < 0 || static_cast<std::size_t>(index) >= list_.Count()) return kQmIndexOutsideList;
  auto* entry = list_.At(static_cast<std::size_t>(index)).get();
  if (open) {
    if (const std::int32_t result = entry->device->OpenDevice(); result != kQmOk) return result;
  }
  I_QMUsbDevice* device = entry->device->Device();
  device->Retain();
  *out = device;
  return kQmOk;
}

std::int32_t C_QMUsbDeviceAgent::CheckEntry(std::int32_t index) {
  C_QMUsbDeviceAgentThreadLock lock;
  if (index < 0 || static_cast<std::size_t>(index) >= list_.Count()) return kQmUnknownDevice;
  auto* entry = list_.At(static_cast<std::size_t>(index)).get();
  void* view = nullptr;
  if (entry->device == nullptr || entry->device->Device()->DeviceInfo().FilterKind() != kFilterMassStorage ||
      entry->device->Device()->QueryInterface(kInterfaceMassStorage, &view) != kQmOk) {
    return kQmUnusable;
  }
  auto* device = static_cast<I_QMMassStorageDevice*>(view);
  std::uint8_t answer[kInquiryLength] = {};
  std::lock_guard exchange(device->ExchangeLock());
  return device->ReadWithLength(kInquiry, sizeof kInquiry, answer, kInquiryLength, kCommandTimeoutSeconds) == kQmOk
             ? kQmOk
             : kQmNoAnswer;
}

std::vector<C_QMUsbDeviceInfo> C_QMUsbDeviceAgent::UnopenableDevices() {
  C_QMUsbDeviceAgentThreadLock lock;
  return unopenable_;
}

std::int32_t C_QMUsbDeviceAgent::RegisterNotifications(const os::HotplugRecipient& recipient) {
  UnregisterNotifications();
  C_QMUsbDeviceAgentThreadLock lock;
  notification_ = os::RegisterDeviceNotifications(recipient);
  return 1;
}

std::int32_t C_QMUsbDeviceAgent::UnregisterNotifications() {
  std::unique_ptr<os::HotplugSource> registration;
  {
    C_QMUsbDeviceAgentThreadLock lock;
    registration = std::move(notification_);
  }
  // Stopped outside the agent lock: the source's thread may be waiting for it in the recipient.
  registration.reset();
  return 1;
}

void C_QMUsbDeviceAgent::ClearList() {
  C_QMUsbDeviceAgentThreadLock lock;
  list_.RemoveAll();  // each entry releases its device
}

void C_QMUsbDeviceAgent::Purge() {
  C_QMUsbDeviceAgentThreadLock lock;
  for (std::size_t i = list_.Count(); i-- > 0;) {
    if (list_.At(i)->present == 0) list_.RemoveAt(i);
  }
}

std::unique_ptr<C_QMUsbDeviceEnumerator> C_QMMassStorageDeviceAgent::CreateEnumerator(const QMDeviceFilter& filter) {
  if (filter.kind != kFilterMassStorage) return nullptr;
  return std::make_unique<C_QMMassStorageDeviceEnumerator>(filter);
}

I_QMUsbDeviceInternal* C_QMMassStorageDeviceAgent::CreateDevice(const C_QMUsbDeviceInfo& record) {
  auto transport = os::ActiveBackend()->CreateTransport();
  if (!transport) return nullptr;
  return new C_QMMassStorageDevice(record, std::move(transport));
}

}  // namespace velkin::qm
