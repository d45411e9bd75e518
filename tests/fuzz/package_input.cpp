#include "tests/fuzz/package_input.h"

#include <algorithm>

namespace fuzzcheck {

Bytes MakeFixedImage() {
    Bytes image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    const uint32_t pe = 0x80;
    Put32(&image[0x3C], pe);
    Put32(&image[pe], 0x00004550);
    Put16(&image[pe + 4], 0x14C);   // i386
    Put16(&image[pe + 6], 2);       // sections
    Put16(&image[pe + 20], 224);    // optional header size
    Put16(&image[pe + 24], 0x10B);  // PE32
    const uint32_t table = pe + 248;
    const char* names[] = {".text", ".rsrc"};
    for (uint32_t i = 0; i < 2; ++i) {
        uint8_t* header = &image[table + 40 * i];
        std::copy(names[i], names[i] + 5, header);
        Put32(header + 16, 0x100);              // SizeOfRawData
        Put32(header + 20, 0x200 + 0x100 * i);  // PointerToRawData
    }
    for (uint32_t at = 0x200; at < 0x400; ++at) {
        image[at] = static_cast<uint8_t>(at * 7 + 1);
    }
    return image;
}

Bytes MakePackage(const Bytes& image, const uint8_t* body, size_t size, bool whole, bool seal) {
    Bytes package = whole ? Bytes() : image;
    package.insert(package.end(), body, body + size);
    if (seal) {
        package.resize((package.size() + 3) / 4 * 4, 0);
        uint32_t word = 0u - WordSum(package.data(), package.size());
        package.resize(package.size() + 4);
        Put32(&package[package.size() - 4], word);
    }
    return package;
}

PackageView ViewPackage(const Bytes& package) {
    PackageView view;
    view.damaged = WordSum(package.data(), package.size()) != 0;
    view.image = WalkImageHeaders(package.data(), package.size());
    const uint32_t n = view.image.overlayOffset;
    view.hasOverlay = view.image.verdict != ImageWalk::Verdict::NotAnImage && n < package.size();
    if (view.hasOverlay) {
        view.overlay.assign(package.begin() + n, package.end());
    }
    view.views = ReadArchiveViews(view.overlay);
    return view;
}

}  // namespace fuzzcheck
