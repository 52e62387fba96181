#include "host/foundation/PropertyList.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace PropertyList {

namespace {

// Preference files and bundle plists are a few kilobytes. Anything near this size is damage or
// mischief, and reading it whole would only waste memory.
constexpr std::size_t kMaximumBytes = 16 * 1024 * 1024;

// libplist parses recursively and copies every shared object of a binary plist each time it is
// referenced, so a small hostile file can exhaust the stack or the heap. Files are measured
// against these limits before libplist sees them.
constexpr std::size_t kMaximumDepth = 256;
constexpr std::uint64_t kMaximumValues = 1'000'000;

// Property-list dates count from 2001-01-01T00:00:00Z.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

void setError(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
}

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<void, PlistDeleter>;

std::string tooDeepReason() {
    return "it is nested deeper than " + std::to_string(kMaximumDepth) + " levels";
}

// --- Shape checks -------------------------------------------------------------------------------

bool startsWithAt(const std::string& text, std::size_t position, std::string_view prefix) {
    return text.compare(position, prefix.size(), prefix) == 0;
}

// The nesting depth of <array> and <dict> elements. Comments, processing instructions,
// declarations and CDATA sections are skipped the way the XML parser skips them.
std::optional<std::string> xmlShapeProblem(const std::string& text) {
    std::size_t depth = 0;
    std::size_t position = 0;
    auto skipPast = [&](std::string_view terminator) {
        std::size_t end = text.find(terminator, position);
        position = end == std::string::npos ? text.size() : end + terminator.size();
    };
    while ((position = text.find('<', position)) != std::string::npos) {
        if (startsWithAt(text, position, "<!--")) {
            skipPast("-->");
        } else if (startsWithAt(text, position, "<![CDATA[")) {
            skipPast("]]>");
        } else if (startsWithAt(text, position, "<?")) {
            skipPast("?>");
        } else if (startsWithAt(text, position, "<!")) {
            skipPast(">");
        } else {
            bool closing = startsWithAt(text, position, "</");
            std::size_t nameStart = position + (closing ? 2 : 1);
            std::size_t nameEnd = text.find_first_of(" \t\r\n/>", nameStart);
            if (nameEnd == std::string::npos) break;
            std::size_t tagEnd = text.find('>', nameEnd);
            if (tagEnd == std::string::npos) break;
            std::string_view name(text.data() + nameStart, nameEnd - nameStart);
            bool container = name == "array" || name == "dict";
            bool selfClosing = text[tagEnd - 1] == '/';
            if (container && !selfClosing) {
                // A stray closing tag never buys depth back: clamping at zero keeps the count an
                // upper bound of what the parser will recurse into.
                if (closing) {
                    if (depth > 0) --depth;
                } else if (++depth > kMaximumDepth) {
                    return tooDeepReason();
                }
            }
            position = tagEnd + 1;
        }
    }
    return std::nullopt;
}

std::uint64_t readBigEndian(const unsigned char* bytes, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

// The depth of a binary plist's object graph and the number of values it expands to, found
// without recursion. Only containers (array, set, dictionary) are looked into; the values
// themselves are left for libplist to check.
std::optional<std::string> binaryShapeProblem(const std::string& bytes) {
    constexpr std::size_t kHeaderSize = 8, kTrailerSize = 32;
    const std::string malformed = "it is not a valid binary property list";
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    // Too short to hold a container with anything in it: nothing here can nest.
    if (size < kHeaderSize + kTrailerSize) return std::nullopt;

    const unsigned char* trailer = data + size - kTrailerSize;
    const unsigned offsetWidth = trailer[6];
    const unsigned referenceWidth = trailer[7];
    const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
    const std::uint64_t rootObject = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    const std::uint64_t tableEnd = size - kTrailerSize;
    if (offsetWidth < 1 || offsetWidth > 8 || referenceWidth < 1 || referenceWidth > 8)
        return malformed;
    if (objectCount > kMaximumValues)
        return "it holds more than " + std::to_string(kMaximumValues) + " values";
    if (objectCount == 0 || rootObject >= objectCount || tableOffset < kHeaderSize ||
        tableOffset > tableEnd || objectCount > (tableEnd - tableOffset) / offsetWidth)
        return malformed;

    // An object's kind (the marker's high nibble) and, for strings and containers, its length
    // and where its contents start; false when it does not fit in the file.
    struct Object {
        unsigned type = 0;
        std::uint64_t count = 0;
        std::uint64_t position = 0;
    };
    auto objectAt = [&](std::uint64_t index, Object* out) {
        std::uint64_t offset = readBigEndian(data + tableOffset + index * offsetWidth, offsetWidth);
        if (offset < kHeaderSize || offset >= tableOffset) return false;
        *out = Object{static_cast<unsigned>(data[offset] >> 4), data[offset] & 0xFu, offset + 1};
        const bool counted = out->type == 0x5 || out->type == 0x6 || out->type == 0xA ||
                             out->type == 0xC || out->type == 0xD;
        if (counted && out->count == 0xF) {
            std::uint64_t position = out->position;
            if (position >= tableOffset || (data[position] >> 4) != 0x1) return false;
            unsigned width = 1u << (data[position] & 0xF);
            if (width > 8 || position + 1 + width > tableOffset) return false;
            out->count = readBigEndian(data + position + 1, width);
            out->position = position + 1 + width;
        }
        return out->count <= size;
    };

    struct Container {
        const unsigned char* references = nullptr;
        std::uint64_t referenceCount = 0;
        std::uint64_t keyCount = 0;  // a dictionary's references start with its keys
    };
    auto containerAt = [&](std::uint64_t index, Container* out) {
        Object object;
        if (!objectAt(index, &object)) return false;
        *out = Container{};
        if (object.type != 0xA && object.type != 0xC && object.type != 0xD) return true;
        const bool dictionary = object.type == 0xD;
        std::uint64_t referenceCount = dictionary ? object.count * 2 : object.count;
        if (referenceCount * referenceWidth > tableOffset - object.position) return false;
        *out = Container{data + object.position, referenceCount, dictionary ? object.count : 0};
        return true;
    };

    // A dictionary key holding a NUL character is damage, and a UTF-16 one makes libplist abort
    // on an assertion, so such a file is refused before libplist sees it. Keys that are no
    // strings, or do not fit in the file, libplist refuses itself.
    std::vector<bool> keyChecked(objectCount, false);
    auto keyHoldsNul = [&](std::uint64_t index) {
        if (keyChecked[index]) return false;
        keyChecked[index] = true;
        Object key;
        if (!objectAt(index, &key)) return false;
        const std::uint64_t unit = key.type == 0x5 ? 1 : key.type == 0x6 ? 2 : 0;
        if (unit == 0 || key.count * unit > tableOffset - key.position) return false;
        const unsigned char* text = data + key.position;
        for (std::uint64_t i = 0; i < key.count; ++i) {
            if (unit == 1 ? text[i] == 0 : (text[2 * i] == 0 && text[2 * i + 1] == 0)) return true;
        }
        return false;
    };

    enum : std::uint8_t { kUnseen, kOpen, kDone };
    std::vector<std::uint8_t> state(objectCount, kUnseen);
    std::vector<std::uint16_t> heightOf(objectCount, 0);
    std::vector<std::uint64_t> valuesOf(objectCount, 0);
    struct Frame {
        std::uint64_t object;
        Container container;
        std::uint64_t next = 0;
        std::uint16_t height = 1;
        std::uint64_t values = 1;
    };
    std::vector<Frame> stack;
    auto open = [&](std::uint64_t index) -> std::optional<std::string> {
        Container container;
        if (!containerAt(index, &container)) return malformed;
        if (stack.size() >= kMaximumDepth) return tooDeepReason();
        state[index] = kOpen;
        stack.push_back(Frame{index, container});
        return std::nullopt;
    };
    auto tooMany = [&] {
        return "it expands to more than " + std::to_string(kMaximumValues) + " values";
    };

    if (auto problem = open(rootObject)) return problem;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.container.referenceCount) {
            Frame finished = frame;
            stack.pop_back();
            state[finished.object] = kDone;
            heightOf[finished.object] = finished.height;
            valuesOf[finished.object] = finished.values;
            if (!stack.empty()) {
                Frame& parent = stack.back();
                parent.height = std::max<std::uint16_t>(parent.height, finished.height + 1);
                parent.values += finished.values;
                if (parent.values > kMaximumValues) return tooMany();
            }
            continue;
        }
        std::uint64_t child =
            readBigEndian(frame.container.references + frame.next * referenceWidth, referenceWidth);
        const bool isKey = frame.next < frame.container.keyCount;
        ++frame.next;
        if (child >= objectCount) return malformed;
        if (isKey && keyHoldsNul(child)) return "a dictionary key in it holds a NUL character";
        if (state[child] == kOpen) return "it contains itself";
        if (state[child] == kDone) {
            // Shared objects are measured once, but each reference nests them anew.
            if (stack.size() + heightOf[child] > kMaximumDepth) return tooDeepReason();
            frame.height = std::max<std::uint16_t>(frame.height, heightOf[child] + 1);
            frame.values += valuesOf[child];
            if (frame.values > kMaximumValues) return tooMany();
            continue;
        }
        if (auto problem = open(child)) return problem;
    }
    return std::nullopt;
}

// --- libplist nodes and values ------------------------------------------------------------------

// libplist keeps integers as 64 bits plus a flag telling whether they were written unsigned, and
// 2.2 offers no getter for the flag. Its XML writer honours it, so a value with the top bit set
// is negative exactly when it is written with a minus sign.
bool isWrittenNegative(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    bool negative = xml && std::string_view(xml, length).find("<integer>-") != std::string::npos;
    plist_to_xml_free(xml);
    return negative;
}

// Data blobs and keyed-archive identifiers have no Value counterpart and are left out.
std::optional<Value> valueFromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            Value::Dictionary dictionary;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            if (!iterator) return Value(std::move(dictionary));
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iterator, &key, &item);
                if (!item) {
                    std::free(key);
                    break;
                }
                std::string keyText = key ? key : "";
                std::free(key);
                if (auto member = valueFromNode(item))
                    dictionary.insert_or_assign(std::move(keyText), std::move(*member));
            }
            std::free(iterator);
            return Value(std::move(dictionary));
        }
        case PLIST_ARRAY: {
            Value::Array array;
            std::uint32_t count = plist_array_get_size(node);
            array.reserve(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                if (auto element = valueFromNode(plist_array_get_item(node, i)))
                    array.push_back(std::move(*element));
            }
            return Value(std::move(array));
        }
        case PLIST_BOOLEAN: {
            std::uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return Value(flag != 0);
        }
        case PLIST_UINT: {
            std::uint64_t bits = 0;
            plist_get_uint_val(node, &bits);
            // An unsigned value beyond the int64 range (a 128-bit binary integer, or a large
            // XML literal) keeps its magnitude as a real rather than wrapping to a negative.
            if (bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
                !isWrittenNegative(node))
                return Value(static_cast<double>(bits));
            return Value(static_cast<std::int64_t>(bits));
        }
        case PLIST_REAL: {
            double real = 0;
            plist_get_real_val(node, &real);
            return Value(real);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return Value(text ? std::string(text, length) : std::string());
        }
        case PLIST_DATE: {
            std::int32_t seconds = 0, microseconds = 0;
            plist_get_date_val(node, &seconds, &microseconds);
            return Value(kSecondsFrom1970To2001 + seconds + microseconds / 1e6);
        }
        default:
            return std::nullopt;
    }
}

// Nothing for a nil value, which a property list cannot hold: nil members are left out.
plist_t nodeFromValue(const Value& value) {
    if (auto flag = value.boolean()) return plist_new_bool(*flag ? 1 : 0);
    // Stored as 64 bits marked signed, so negative numbers are written with their sign.
    if (auto integer = value.integer()) return plist_new_uint(static_cast<std::uint64_t>(*integer));
    if (auto real = value.real()) return plist_new_real(*real);
    if (auto text = value.string()) return plist_new_string(text->c_str());
    if (auto array = value.array()) {
        plist_t node = plist_new_array();
        for (const Value& element : *array) {
            if (plist_t child = nodeFromValue(element)) plist_array_append_item(node, child);
        }
        return node;
    }
    if (auto dictionary = value.dictionary()) {
        plist_t node = plist_new_dict();
        for (const auto& [key, member] : *dictionary) {
            if (plist_t child = nodeFromValue(member))
                plist_dict_set_item(node, key.c_str(), child);
        }
        return node;
    }
    return nullptr;
}

std::string systemError(const std::string& what, int number) {
    return what + ": " + std::strerror(number);
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<Value> readFile(const std::string& path, std::string* error) {
    // Non-blocking so that a FIFO in place of the file cannot hang the caller; regular files
    // ignore the flag.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int number = errno;
        setError(error, systemError("cannot open it", number));
        return std::nullopt;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        setError(error, "it is not a regular file");
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(status.st_size) > kMaximumBytes) {
        ::close(fd);
        setError(error, "it is larger than 16 MiB");
        return std::nullopt;
    }
    // Read one byte past the limit, so that a file still growing is caught too.
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(status.st_size));
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() > kMaximumBytes) break;
            bytes.resize(std::min(kMaximumBytes + 1, bytes.size() + 4096));
        }
        ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int number = errno;
            ::close(fd);
            setError(error, systemError("cannot read it", number));
            return std::nullopt;
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(filled);
    return parse(bytes, error);
}

std::optional<Value> parse(const std::string& bytes, std::string* error) {
    if (bytes.empty()) {
        setError(error, "it is empty");
        return std::nullopt;
    }
    if (bytes.size() > kMaximumBytes) {
        setError(error, "it is larger than 16 MiB");
        return std::nullopt;
    }
    const auto length = static_cast<std::uint32_t>(bytes.size());
    const bool binary = plist_is_binary(bytes.data(), length) != 0;
    if (auto problem = binary ? binaryShapeProblem(bytes) : xmlShapeProblem(bytes)) {
        setError(error, *problem);
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), length, &root);
    PlistPointer owner(root);
    if (!root) {
        setError(error, binary ? "it is not a valid binary property list"
                               : "it is not a valid XML property list");
        return std::nullopt;
    }
    std::optional<Value> value = valueFromNode(root);
    if (!value) setError(error, "its top level is a kind of value that is not supported");
    return value;
}

std::string toXml(const Value& value) {
    PlistPointer root(nodeFromValue(value));
    if (!root) root.reset(plist_new_dict());
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string text = xml ? std::string(xml, length) : std::string();
    plist_to_xml_free(xml);
    return text;
}

bool writeFileAtomically(const std::string& path, const Value& value, std::string* error) {
    if (path.empty()) {
        setError(error, "no file name given");
        return false;
    }
    const std::string xml = toXml(value);
    if (xml.size() > kMaximumBytes) {
        setError(error, "the property list would be larger than 16 MiB");
        return false;
    }

    std::error_code ignored;
    fs::path target(path);
    // Writing through a symbolic link keeps the link (a dotfile manager's, say) in place.
    if (fs::is_symlink(target, ignored)) {
        fs::path resolved = fs::weakly_canonical(target, ignored);
        if (!ignored && !resolved.empty()) target = resolved;
    }
    fs::path directory = target.parent_path();
    if (directory.empty()) directory = ".";
    std::error_code created;
    fs::create_directories(directory, created);
    if (created) {
        setError(error, "cannot create directory " + directory.string() + ": " + created.message());
        return false;
    }

    std::string temporary = (directory / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        int number = errno;
        setError(error,
                 systemError("cannot create a temporary file in " + directory.string(), number));
        return false;
    }
    // Every argument is a plain value, so errno is read before anything can overwrite it.
    auto fail = [&](int number, const char* what, const std::string& file) {
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        setError(error, systemError(std::string(what) + " " + file, number));
        return false;
    };

    // mkstemp makes the file private; a replaced file keeps its own permissions instead.
    struct stat existing {};
    mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    if (fchmod(fd, mode) != 0) return fail(errno, "cannot set permissions of", temporary);
    if (!writeAll(fd, xml)) return fail(errno, "cannot write", temporary);
    if (fsync(fd) != 0) return fail(errno, "cannot flush", temporary);
    int closing = ::close(fd);
    fd = -1;
    if (closing != 0) return fail(errno, "cannot close", temporary);
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return fail(errno, "cannot replace", target.native());

    // Make the rename itself durable. The new file is complete either way, so a directory that
    // cannot be synced is not a failure.
    int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        fsync(directoryFd);
        ::close(directoryFd);
    }
    return true;
}

}  // namespace PropertyList
