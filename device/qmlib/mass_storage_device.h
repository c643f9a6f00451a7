// Device objects: one opened (or openable) mass-storage unit that carries one command block with
// an optional data phase to the unit and back. Reference counted; created by the agent.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/qmlib/os/transport.h"
#include "qm_codes.h"
#include "usb_device_info.h"

namespace velkin::qm {

// Kinds for QueryInterface.
inline constexpr std::uint32_t kInterfaceDevice = 0;
inline constexpr std::uint32_t kInterfaceMassStorage = 1;
inline constexpr std::uint32_t kInterfaceHidEx = 2;
inline constexpr std::uint32_t kInterfaceStdDiskRW = 3;
inline constexpr std::uint32_t kInterfaceInternal = 0xFFFF;

class I_QMUsbDevice {
 public:
  virtual std::int32_t Retain() = 0;   // returns the new count
  virtual std::int32_t Release() = 0;  // returns the new count; at 0 the object is gone
  // 0 and E_FAIL (kQmInterfaceFailed). Kinds 0 and 1: the object; 0xFFFF: its internal view;
  // 2 and 3: interfaces a mass-storage device does not offer. No reference is added.
  virtual std::int32_t QueryInterface(std::uint32_t kind, void** out) = 0;
  virtual std::int32_t Open() = 0;   // 0, or kQmOpenFailed (left closed)
  virtual std::int32_t Close() = 0;  // 0
  virtual const C_QMUsbDeviceInfo& DeviceInfo() const = 0;

 protected:
  virtual ~I_QMUsbDevice() = default;
};

// How long an exchange waits for a unit that another program is using (the longest exchange, an
// EEPROM operation with its busy polling, takes about three seconds).
inline constexpr auto kUnitLockWait = std::chrono::seconds(5);

// Exclusion of a unit among programs, as the exchange lock below needs it.
class I_QMUnitLock {
 public:
  // 0 when held (or nothing to hold), else the system's error number for a busy unit.
  virtual std::uint32_t LockUnit() = 0;
  virtual void UnlockUnit() = 0;

 protected:
  ~I_QMUnitLock() = default;
};

// The lock of one whole exchange with a unit (a command, or a request block with its replies),
// so that nobody else's command comes between a request and its replies: first among the
// threads of this process, then among the programs on the machine (the unit keeps one pending
// reply for every host). When another program keeps the unit past kUnitLockWait, the holder
// still gets the lock, but every command of its exchange fails as a failed pass-through call
// with the busy error: never with another exchange's reply.
class C_QMExchangeLock {
 public:
  explicit C_QMExchangeLock(I_QMUnitLock& unit) : unit_(unit) {}
  C_QMExchangeLock(const C_QMExchangeLock&) = delete;
  C_QMExchangeLock& operator=(const C_QMExchangeLock&) = delete;

  void lock();
  void unlock();
  // Whether the calling thread holds the lock.
  bool HeldByThisThread() const { return owner_.load() == std::this_thread::get_id(); }
  // For the holder: 0 while it has the unit, else the busy error its commands fail with.
  std::uint32_t Refusal() const { return refusal_; }

 private:
  I_QMUnitLock& unit_;
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  bool unit_held_ = false;     // guarded by mutex_
  std::uint32_t refusal_ = 0;  // guarded by mutex_
};

class I_QMMassStorageDevice : public I_QMUsbDevice {
 public:
  // A data-in command whose delivered length is not reported.
  virtual std::int32_t ReadWithLength(const std::uint8_t* cdb, std::uint8_t cdb_length, std::uint8_t* buffer,
                                      std::uint32_t length, std::uint32_t timeout_seconds) = 0;
  // A data-out command; length 0 is a command without data phase.
  virtual std::int32_t Write(const std::uint8_t* cdb, std::uint8_t cdb_length, const std::uint8_t* buffer,
                             std::uint32_t length, std::uint32_t timeout_seconds) = 0;
  // A data-in command; on success *length becomes the number of bytes delivered.
  virtual std::int32_t Read(const std::uint8_t* cdb, std::uint8_t cdb_length, std::uint8_t* buffer,
                            std::uint32_t* length, std::uint32_t timeout_seconds) = 0;
  // The system's error of the last pass-through that failed three times.
  virtual std::uint32_t LastOsError() const = 0;
  // Sense key << 16 | ASC << 8 | ASCQ of the last check condition.
  virtual std::uint32_t LastSense() const = 0;
  virtual std::int32_t Reopen() = 0;

  // Held for one whole exchange with the unit (a command, or a request block with its replies)
  // so that callers on two threads, or in two programs, never get each other's replies. Taken
  // after the device-table and agent locks, never before them.
  virtual C_QMExchangeLock& ExchangeLock() = 0;
};

class I_QMUsbDeviceInternal {
 public:
  virtual I_QMUsbDevice* Device() = 0;
  virtual std::int32_t OpenDevice() = 0;
  virtual bool IsOpen() const = 0;
  // Why the last open failed (error 0 after a successful one).
  virtual os::OpenFailure LastOpenFailure() const = 0;
  // The path the next open uses, from a fresh record of the same unit: a node or interface path
  // may name another unit after a re-plug. Ignored while the device is open.
  virtual void UsePath(const std::string& path) = 0;

 protected:
  virtual ~I_QMUsbDeviceInternal() = default;
};

// Interfaces of other device kinds, asked for by QueryInterface with a run-time type cast.
class I_QMHidDeviceEx {
 public:
  virtual ~I_QMHidDeviceEx() = default;
};
class I_QMStdDiskRWDevice {
 public:
  virtual ~I_QMStdDiskRWDevice() = default;
};

// Reference counting shared by the device kinds.
template <class Interface>
class T_QMUsbDevice : public Interface {
 public:
  std::int32_t Retain() override { return ++references_; }
  std::int32_t Release() override {
    const std::int32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  ~T_QMUsbDevice() override = default;

 private:
  std::atomic<std::int32_t> references_{1};
};

class C_QMMassStorageDevice : public T_QMUsbDevice<I_QMMassStorageDevice>,
                              public I_QMUsbDeviceInternal,
                              private I_QMUnitLock {
 public:
  // Starts closed with one reference, held by the creator.
  C_QMMassStorageDevice(const C_QMUsbDeviceInfo& info, std::unique_ptr<os::Transport> transport);

  std::int32_t QueryInterface(std::uint32_t kind, void** out) override;
  std::int32_t Open() override;
  std::int32_t Close() override;
  const C_QMUsbDeviceInfo& DeviceInfo() const override { return info_; }
  std::int32_t ReadWithLength(const std::uint8_t* cdb, std::uint8_t cdb_length, std::uint8_t* buffer,
                              std::uint32_t length, std::uint32_t timeout_seconds) override;
  std::int32_t Write(const std::uint8_t* cdb, std::uint8_t cdb_length, const std::uint8_t* buffer, std::uint32_t length,
                     std::uint32_t timeout_seconds) override;
  std::int32_t Read(const std::uint8_t* cdb, std::uint8_t cdb_length, std::uint8_t* buffer, std::uint32_t* length,
                    std::uint32_t timeout_seconds) override;
  std::uint32_t LastOsError() const override { return last_os_error_; }
  std::uint32_t LastSense() const override { return last_sense_; }
  std::int32_t Reopen() override { return Open(); }
  C_QMExchangeLock& ExchangeLock() override { return exchange_lock_; }

  I_QMUsbDevice* Device() override { return this; }
  std::int32_t OpenDevice() override { return Open(); }
  bool IsOpen() const override;
  void UsePath(const std::string& path) override;
  os::OpenFailure LastOpenFailure() const override;

 protected:
  ~C_QMMassStorageDevice() override;

 private:
  std::int32_t Carry(const std::uint8_t* cdb, std::uint8_t cdb_length, os::DataDirection direction,
                     std::uint8_t* buffer, std::uint32_t* length, std::uint32_t timeout_seconds);
  // The attempts of one command, with the transport lock and the unit held.
  std::int32_t FinishCarry(const os::CommandBlock& command, os::DataDirection direction, std::uint32_t* length);
  std::uint32_t LockUnit() override;
  void UnlockUnit() override;

  C_QMUsbDeviceInfo info_;
  std::unique_ptr<os::Transport> transport_;
  // Both keep their values until a later failure overwrites them. Atomic because the hot-plug
  // thread's check and the main thread's commands may run on one device.
  std::atomic<std::uint32_t> last_os_error_{0};
  std::atomic<std::uint32_t> last_sense_{0};
  // Guards the transport's open state against a close from another thread.
  mutable std::mutex transport_lock_;
  // What Open opens: the record's interface path until the agent hands a fresher one (guarded by
  // transport_lock_).
  std::string path_;
  C_QMExchangeLock exchange_lock_{*this};
};

// Packs fixed-format sense data: key (byte 2, low four bits) << 16 | ASC (byte 12) << 8 | ASCQ
// (byte 13). Bytes missing from a short sense count as 0.
std::uint32_t PackSense(const std::uint8_t* sense, std::size_t length);

// Holds one reference and gives it back when it goes away.
template <class T>
class RetainedRef {
 public:
  RetainedRef() = default;
  // Adopts a reference the caller already holds.
  explicit RetainedRef(T* object) : object_(object) {}
  RetainedRef(RetainedRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  RetainedRef& operator=(RetainedRef&& other) noexcept {
    if (this != &other) {
      Reset();
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  RetainedRef(const RetainedRef&) = delete;
  RetainedRef& operator=(const RetainedRef&) = delete;
  ~RetainedRef() { Reset(); }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void Reset() {
    if (object_ != nullptr) object_->Release();
    object_ = nullptr;
  }
  T* Detach() {
    T* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  T* object_ = nullptr;
};

}  // namespace velkin::qm
