// An object that holds at most one DLL image mapped from a byte array, over an image format
// and a platform. Its seven operations are virtual, in a fixed slot order, for code that calls
// through the table: Destroy, Copy, Load, Free, GetProc, GetEntryPoint, GetBase.
#pragma once

#include "CheckedBytes.h"
#include "ImageExports.h"
#include "ImageMapping.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>

namespace loader {

template <typename Format, typename Platform>
class BasicMemoryDll final {
public:
    using Address = typename Format::Address;

    BasicMemoryDll()
        requires std::is_empty_v<Platform>
        : platform_(&StatelessPlatform()) {}
    explicit BasicMemoryDll(Platform& platform) : platform_(&platform) {}
    BasicMemoryDll(const BasicMemoryDll&) = delete;
    BasicMemoryDll& operator=(const BasicMemoryDll&) = delete;
    ~BasicMemoryDll() { Free(); }

    // Unloads the image; the owner deletes the object afterwards.
    virtual void Destroy() { Free(); }

    // A second holder of the same mapping. The image is unloaded once, when the last holder
    // lets it go.
    virtual std::unique_ptr<BasicMemoryDll> Copy() const {
        auto copy = std::make_unique<BasicMemoryDll>(*platform_);
        copy->image_ = image_;
        return copy;
    }

    // Unloads a held image first. The resolver, when not 0, is the address of a routine
    // Address resolver(const char* dllName, const char* importName, Address userValue) that is
    // asked for every import first; ordinals reach it as decimal text. The bytes are only read
    // during the call.
    virtual bool Load(const void* image, size_t size, Address resolver = 0, Address userValue = 0) {
        Free();
        // A Free that failed leaves the old mapping in memory, unreachable, and goes on.
        image_.reset();
        const ImageBytes bytes(static_cast<const uint8_t*>(image), image == nullptr ? 0 : size);
        const MappedImage<Format> mapped = MapImage<Format>(*platform_, bytes, resolver, userValue);
        if (mapped.base != 0) image_ = std::make_shared<const MappedImage<Format>>(mapped);
        return mapped.base != 0;
    }

    // True when the object holds no image afterwards. Fails, keeping the image, when its headers
    // have lost their signatures or the memory cannot be released.
    virtual bool Free() {
        if (!image_) return true;
        if (image_.use_count() == 1 && !UnmapImage<Format>(*platform_, *image_)) return false;
        image_.reset();
        return true;
    }

    // By ordinal when the name is the decimal text of a number, otherwise by name; 0 when absent.
    virtual Address GetProc(const char* name) const {
        if (!image_) return 0;
        return static_cast<Address>(FindExport<Format>(*platform_, *image_, name == nullptr ? "" : name));
    }

    virtual Address GetEntryPoint() const { return image_ ? static_cast<Address>(EntryPointOf(*image_)) : 0; }

    virtual Address GetBase() const { return image_ ? image_->base : 0; }

private:
    static Platform& StatelessPlatform() {
        static Platform platform;
        return platform;
    }

    Platform* platform_;
    std::shared_ptr<const MappedImage<Format>> image_;
};

}  // namespace loader
