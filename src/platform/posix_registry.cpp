// The registry on POSIX systems.
//
// Keys live in one store file per user, in the registry editor's export format. Every change is
// made under an exclusive lock on a companion lock file: read the store afresh, change it, write a
// temporary file beside it and rename it over the store. Two programs writing at once therefore
// both land, and a reader never sees half a file. A store that cannot be read or understood is
// never written over: the calls report ERROR_BADDB and leave it for the operator to look at.
//
// The serial port key is made at each open from the system's serial devices, followed by the
// virtual ports that programs (the receiver simulator) registered in the store, as long as their
// device exists.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "platform/reg_document.hpp"
#include "platform/store_registry.hpp"

namespace nira::platform {

struct RegistryKey {
    std::string path;
    bool serialPorts = false;
    std::vector<RegValue> values;
};

namespace {

// How long a writer waits for another's lock on the store, and how often it looks meanwhile.
constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockRetry = std::chrono::milliseconds(5);

namespace fs = std::filesystem;

enum class Load { Ok, Damaged, Unreadable };

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

Load readStore(const std::string& path, RegDocument& document) {
    document = {};
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return errno == ENOENT ? Load::Ok : Load::Unreadable;
    }
    std::string text;
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Load::Unreadable;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    auto parsed = parseRegDocument(text);
    if (!parsed) {
        return Load::Damaged;
    }
    document = std::move(*parsed);
    return Load::Ok;
}

LONG errorOf(Load load) {
    return load == Load::Damaged ? ERROR_BADDB : ERROR_ACCESS_DENIED;
}

RegValue stringValue(std::string name, const std::string& text) {
    RegValue value{std::move(name), REG_SZ, {text.begin(), text.end()}};
    value.data.push_back(0);
    return value;
}

class StoreRegistry final : public RegistryApi {
  public:
    StoreRegistry(std::string storePath, SerialScanRoots roots)
        : storePath_(std::move(storePath)), roots_(std::move(roots)) {}

    ~StoreRegistry() override {
        for (HKEY key : open_) {
            delete key;
        }
    }

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, REGSAM, HKEY* result) override {
        if (root != HKEY_LOCAL_MACHINE || result == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        const std::string path = normaliseKeyPath(subKey != nullptr ? subKey : "");
        RegDocument document;
        const Load load = readStore(store(), document);
        if (sameRegistryName(path, kSerialCommKey)) {
            *result = adopt(serialPortKey(path, load == Load::Ok ? &document : nullptr));
            return ERROR_SUCCESS;
        }
        if (load != Load::Ok) {
            return errorOf(load);
        }
        const RegKeyEntry* key = document.find(path);
        if (key == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        *result = adopt(new RegistryKey{key->path, false, key->values});
        return ERROR_SUCCESS;
    }

    LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result,
                         DWORD* disposition) override {
        LONG status = RegOpenKeyExA(root, subKey, options, access, result);
        if (status == ERROR_SUCCESS) {
            if (disposition != nullptr) {
                *disposition = REG_OPENED_EXISTING_KEY;
            }
            return status;
        }
        if (status != ERROR_FILE_NOT_FOUND) {
            return status;
        }
        const std::string path = normaliseKeyPath(subKey != nullptr ? subKey : "");
        status = modify([&](RegDocument& document) {
            document.ensure(path);
            return ERROR_SUCCESS;
        });
        if (status != ERROR_SUCCESS) {
            return status;
        }
        *result = adopt(new RegistryKey{path, false, {}});
        if (disposition != nullptr) {
            *disposition = REG_CREATED_NEW_KEY;
        }
        return ERROR_SUCCESS;
    }

    LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                       DWORD* dataSize) override {
        const std::lock_guard lock(mutex_);
        if (open_.count(key) == 0 || name == nullptr || nameSize == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        if (index >= key->values.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const RegValue& value = key->values[index];
        const auto size = static_cast<DWORD>(value.data.size());
        if (*nameSize <= value.name.size() ||
            (data != nullptr && (dataSize == nullptr || *dataSize < size))) {
            if (dataSize != nullptr) {
                *dataSize = size;
            }
            return ERROR_MORE_DATA;
        }
        std::memcpy(name, value.name.c_str(), value.name.size() + 1);
        *nameSize = static_cast<DWORD>(value.name.size());
        if (type != nullptr) {
            *type = value.type;
        }
        if (data != nullptr && size > 0) {
            std::memcpy(data, value.data.data(), size);
        }
        if (dataSize != nullptr) {
            *dataSize = size;
        }
        return ERROR_SUCCESS;
    }

    LONG RegQueryValueExA(HKEY key, const char* name, DWORD* type, BYTE* data,
                          DWORD* dataSize) override {
        const std::lock_guard lock(mutex_);
        if (open_.count(key) == 0) {
            return ERROR_INVALID_HANDLE;
        }
        const RegValue* value = find(*key, name);
        if (value == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        const auto size = static_cast<DWORD>(value->data.size());
        if (type != nullptr) {
            *type = value->type;
        }
        if (data != nullptr) {
            if (dataSize == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            if (*dataSize < size) {
                *dataSize = size;
                return ERROR_MORE_DATA;
            }
            if (size > 0) {
                std::memcpy(data, value->data.data(), size);
            }
        }
        if (dataSize != nullptr) {
            *dataSize = size;
        }
        return ERROR_SUCCESS;
    }

    LONG RegSetValueExA(HKEY key, const char* name, DWORD type, const BYTE* data,
                        DWORD size) override {
        if (!isOpen(key) || (data == nullptr && size > 0)) {
            return ERROR_INVALID_HANDLE;
        }
        RegValue value{name != nullptr ? name : "", type, {}};
        if (size > 0) {
            value.data.assign(data, data + size);
        }
        const std::string path = key->path;
        const LONG status = modify([&](RegDocument& document) {
            RegKeyEntry& entry = document.ensure(path);
            if (RegValue* old = entry.find(value.name)) {
                *old = value;
            } else {
                entry.values.push_back(value);
            }
            return ERROR_SUCCESS;
        });
        if (status == ERROR_SUCCESS && !key->serialPorts) {
            const std::lock_guard lock(mutex_);
            if (RegValue* old = find(*key, value.name.c_str())) {
                *old = value;
            } else {
                key->values.push_back(value);
            }
        }
        return status;
    }

    LONG RegDeleteValueA(HKEY key, const char* name) override {
        if (!isOpen(key)) {
            return ERROR_INVALID_HANDLE;
        }
        const std::string wanted = name != nullptr ? name : "";
        const std::string path = key->path;
        const LONG status = modify([&](RegDocument& document) -> LONG {
            RegKeyEntry* entry = document.find(path);
            if (entry == nullptr) {
                return ERROR_FILE_NOT_FOUND;
            }
            auto& values = entry->values;
            const auto before = values.size();
            std::erase_if(values,
                          [&](const RegValue& v) { return sameRegistryName(v.name, wanted); });
            return values.size() == before ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
        });
        if (status == ERROR_SUCCESS) {
            const std::lock_guard lock(mutex_);
            std::erase_if(key->values,
                          [&](const RegValue& v) { return sameRegistryName(v.name, wanted); });
        }
        return status;
    }

    LONG RegCloseKey(HKEY key) override {
        const std::lock_guard lock(mutex_);
        if (open_.erase(key) == 0) {
            return ERROR_INVALID_HANDLE;
        }
        delete key;
        return ERROR_SUCCESS;
    }

  private:
    std::string store() const { return storePath_.empty() ? registryStorePath() : storePath_; }

    HKEY adopt(HKEY key) {
        const std::lock_guard lock(mutex_);
        open_.insert(key);
        return key;
    }

    bool isOpen(HKEY key) {
        const std::lock_guard lock(mutex_);
        return open_.count(key) != 0;
    }

    static RegValue* find(RegistryKey& key, const char* name) {
        const std::string_view wanted = name != nullptr ? name : "";
        for (auto& value : key.values) {
            if (sameRegistryName(value.name, wanted)) {
                return &value;
            }
        }
        return nullptr;
    }

    HKEY serialPortKey(const std::string& path, const RegDocument* document) const {
        auto* key = new RegistryKey{path, true, {}};
        for (const auto& device : scanSerialPorts(roots_)) {
            key->values.push_back(
                stringValue("\\Device\\" + fs::path(device).filename().string(), device));
        }
        const RegKeyEntry* registered = document != nullptr ? document->find(path) : nullptr;
        if (registered != nullptr) {
            for (const auto& value : registered->values) {
                const std::string device(value.data.begin(),
                                         std::find(value.data.begin(), value.data.end(), 0));
                struct stat node {};
                if (value.type == REG_SZ && ::stat(device.c_str(), &node) == 0) {
                    key->values.push_back(value);
                }
            }
        }
        return key;
    }

    // Read, change and replace the store under its lock.
    LONG modify(const std::function<LONG(RegDocument&)>& change) {
        const std::string path = store();
        std::error_code ec;
        const fs::path folder = fs::path(path).parent_path();
        if (!folder.empty()) {
            fs::create_directories(folder, ec);
        }
        const FileDescriptor lockFile(
            ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (lockFile.get() < 0) {
            return ERROR_ACCESS_DENIED;
        }
        // A writer holds the lock for milliseconds; give up after a while rather than hang.
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (::flock(lockFile.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return ERROR_LOCK_VIOLATION;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return ERROR_LOCK_VIOLATION;
            }
            std::this_thread::sleep_for(kLockRetry);
        }
        RegDocument document;
        const Load load = readStore(path, document);
        if (load != Load::Ok) {
            return errorOf(load);
        }
        const LONG status = change(document);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        std::string temporary = path + ".XXXXXX";
        const FileDescriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
        if (out.get() < 0) {
            return ERROR_CANTWRITE;
        }
        if (!writeAll(out.get(), formatRegDocument(document)) || ::fsync(out.get()) != 0 ||
            ::rename(temporary.c_str(), path.c_str()) != 0) {
            ::unlink(temporary.c_str());
            return ERROR_CANTWRITE;
        }
        return ERROR_SUCCESS;
    }

    std::string storePath_;
    SerialScanRoots roots_;
    std::mutex mutex_;
    std::set<HKEY> open_;
};

}  // namespace

// The program never changes its environment, so reading it from any thread is safe.
// NOLINTBEGIN(concurrency-mt-unsafe)
std::string registryStorePath() {
    if (const char* own = std::getenv("NIRA7_REGISTRY"); own != nullptr && *own != '\0') {
        return own;
    }
    fs::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = fs::path(home) / ".config";
    } else {
        base = fs::temp_directory_path();
    }
    return (base / "nira7" / "registry.reg").string();
}
// NOLINTEND(concurrency-mt-unsafe)

std::unique_ptr<RegistryApi> makeStoreRegistry(std::string storePath, SerialScanRoots roots) {
    return std::make_unique<StoreRegistry>(std::move(storePath), std::move(roots));
}

RegistryApi& systemRegistry() {
    static const std::unique_ptr<RegistryApi> registry = makeStoreRegistry({});
    return *registry;
}

}  // namespace nira::platform
