// Signed packages checked with the platform's own cryptography. The certificates come from the
// openssl program and the signatures from osslsigncode, tools we did not write, run on the
// host: directly on POSIX, and under Wine from the Windows test program, which starts Unix
// programs there as it starts Windows ones. Where the tools cannot be started (Windows itself,
// a machine without them) the signing cases skip and say so.
#include "package/signature_check.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "package/byte_cursor.h"
#include "package/package_layout.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "unit/test_support.h"

namespace {

using test::Bytes;

std::vector<uint8_t> Digest(platform::DigestAlgorithm algorithm, const std::string& text,
                            size_t split) {
    platform::Hasher hasher;
    std::vector<uint8_t> digest;
    EXPECT_TRUE(hasher.Start(algorithm));
    EXPECT_TRUE(hasher.Update(text.data(), split));
    EXPECT_TRUE(hasher.Update(text.data() + split, text.size() - split));
    EXPECT_TRUE(hasher.Finish(digest));
    return digest;
}

// FIPS 180 examples: the platform's hashes, fed in two pieces split anywhere.
TEST(PlatformHash, GivesTheKnownDigests) {
    const std::string abc = "abc";
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (size_t split : {size_t{0}, size_t{1}, size_t{3}}) {
        EXPECT_EQ(platform::HexDigest(Digest(platform::DigestAlgorithm::Sha1, abc, split)),
                  "a9993e364706816aba3e25717850c26c9cd0d89d");
        EXPECT_EQ(platform::HexDigest(Digest(platform::DigestAlgorithm::Sha256, abc, split)),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
    EXPECT_EQ(platform::HexDigest(Digest(platform::DigestAlgorithm::Sha256, twoBlocks, 55)),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    platform::Hasher unknown;
    EXPECT_FALSE(unknown.Start(platform::DigestAlgorithm::Unknown));
}

#ifdef _WIN32
// Wine's name for a Windows path on the host; empty on Windows itself, which has no host.
std::string HostPath(const std::string& path) {
    using ToUnix = char*(__cdecl*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t wide[MAX_PATH];
    if (toUnix == nullptr ||
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) == 0) {
        return {};
    }
    char* unixPath = toUnix(wide);
    if (unixPath == nullptr) {
        return {};
    }
    std::string text = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return text;
}

bool HostToolsThere() {
    return !HostPath("C:\\").empty() &&
           GetFileAttributesA("Z:\\bin\\sh") != INVALID_FILE_ATTRIBUTES &&
           GetFileAttributesA("Z:\\usr\\bin\\openssl") != INVALID_FILE_ATTRIBUTES &&
           GetFileAttributesA("Z:\\usr\\bin\\osslsigncode") != INVALID_FILE_ATTRIBUTES;
}

// Wine starts a Unix program named by its Windows path like any other, but hands back no handle
// to wait on (the wait fails at once) and no exit code: RunOnHost waits for the file the script
// leaves when it ends.
void StartHostShell(const std::string& script) {
    std::string command = "Z:\\bin\\sh \"" + script + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}
#else
std::string HostPath(const std::string& path) {
    return path;
}

bool HostToolsThere() {
    return std::system(
               "command -v openssl >/dev/null 2>&1 && "
               "command -v osslsigncode >/dev/null 2>&1") == 0;
}

void StartHostShell(const std::string& script) {
    [[maybe_unused]] int status = std::system(("sh '" + script + "'").c_str());
}
#endif

// Runs `commands` with the host's shell in `directory`, stopping at the first that fails.
// False when they did not all succeed; `log` has what they printed.
bool RunOnHost(const std::string& directory, const std::string& commands, std::string* log) {
    const std::string hostDirectory = HostPath(directory);
    const std::string script = test::Join(directory, "steps.sh");
    const std::string ended = test::Join(directory, "steps.end");
    test::DeletePath(ended);
    // The status goes in under its final name in one step, so that a reader never sees it half
    // written.
    test::WriteBytes(script,
                     test::ToBytes("cd '" + hostDirectory +
                                   "'\ntrap 'echo $? >steps.status; mv steps.status steps.end' "
                                   "EXIT\nset -e\nPATH=/usr/bin:/bin\nexport PATH\n"
                                   "exec >steps.log 2>&1\n" +
                                   commands + "\n"));
    StartHostShell(HostPath(script));
    // Only a guard against a tool that hangs: the steps take seconds.
    for (int waited = 0; !test::Exists(ended) && waited < 3000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const Bytes printed = test::ReadBytes(test::Join(directory, "steps.log"));
    *log = std::string(printed.begin(), printed.end());
    const Bytes status = test::ReadBytes(ended);
    return std::string(status.begin(), status.end()) == "0\n";
}

// A CA of its own, a signer certified by it, and enough extra certificates to carry a
// signature's table past 64 KiB.
constexpr const char* kMakeCertificates = R"(
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj '/CN=KitTailor Test CA' \
  -keyout ca.key -out ca.pem -addext 'basicConstraints=critical,CA:TRUE' \
  -addext 'keyUsage=critical,keyCertSign,cRLSign'
openssl req -new -newkey rsa:2048 -nodes -subj '/CN=KitTailor Test Signer' \
  -keyout signer.key -out signer.csr
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -sha256 -days 30 -in signer.csr -CA ca.pem -CAkey ca.key -set_serial 2 \
  -extfile signer.ext -out signer.pem
cat signer.pem ca.pem >chain.pem
comment=$(head -c 3000 /dev/zero | tr '\0' x)
: >extra.pem
i=0
while [ $i -lt 24 ]; do
  openssl req -x509 -new -key ca.key -sha256 -days 30 -subj "/CN=KitTailor Extra $i" \
    -set_serial $((100 + i)) -addext "nsComment=$comment" >>extra.pem
  i=$((i + 1))
done
)";

constexpr const char* kSignerName = "KitTailor Test Signer";
constexpr uint32_t kPeAt = 0x80;  // MakeSignablePackage's
constexpr uint32_t kCheckSumAt = kPeAt + 24 + 64;
constexpr uint32_t kSecurityEntryAt = kPeAt + 24 + 128;  // PE32

class SignedPackages : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!HostToolsThere()) {
            whyNot_ = new std::string("openssl and osslsigncode cannot be started here");
            return;
        }
        keys_ = new test::ScratchDir();
        std::string log;
        if (!RunOnHost(keys_->Path(), kMakeCertificates, &log)) {
            whyNot_ = new std::string("the test certificates could not be made:\n" + log);
        }
    }

    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
        delete whyNot_;
        whyNot_ = nullptr;
    }

    void SetUp() override {
        if (whyNot_ != nullptr && keys_ == nullptr) {
            GTEST_SKIP() << *whyNot_;
        }
        ASSERT_EQ(whyNot_, nullptr) << *whyNot_;
    }

    // Signs `in` into `out` with the test signer and its chain; `options` adds to osslsigncode's.
    void Sign(const std::string& in, const std::string& out, const char* hash,
              const std::string& options = "") {
        const std::string keys = HostPath(keys_->Path());
        std::string log;
        ASSERT_TRUE(RunOnHost(scratch_.Path(),
                              "osslsigncode sign -certs '" + keys + "/chain.pem' -key '" + keys +
                                  "/signer.key' -h " + hash + " " + options + " -in '" +
                                  HostPath(in) + "' -out '" + HostPath(out) + "'",
                              &log))
            << log;
    }

    // A package of `pe32Plus`'s kind signed with `hash`; `unsignedPackage` gets it as it was
    // before signing.
    std::string SignedPackage(bool pe32Plus, const char* hash, const std::string& options = "",
                              Bytes* unsignedPackage = nullptr) {
        const Bytes package = test::MakeSignablePackage(
            test::MakeZip({{"setup.ini", test::ToBytes("[Setup]\nSilent=1\n")},
                           {"data.bin", test::PatternBytes(5000, 7)}}),
            pe32Plus);
        const std::string in = scratch_.File(std::string("unsigned") + (pe32Plus ? "64" : "32"));
        const std::string out =
            scratch_.File(std::string("signed") + (pe32Plus ? "64" : "32") + "_" + hash + ".exe");
        EXPECT_TRUE(test::WriteBytes(in, package));
        Sign(in, out, hash, options);
        if (unsignedPackage != nullptr) {
            *unsignedPackage = package;
        }
        return out;
    }

    static package::SignatureCheck Check(const std::string& path) {
        platform::File file;
        package::ImageSignature entry;
        package::SignatureCheck check;
        EXPECT_TRUE(
            file.Open(path.c_str(), platform::Access::Read, platform::Disposition::OpenExisting));
        EXPECT_TRUE(package::FindImageSignature(file, entry));
        EXPECT_TRUE(package::CheckImageSignature(file, entry, check));
        return check;
    }

    // The file at `signedPath` with `change` applied, written beside it as `name`.
    std::string Changed(const std::string& signedPath, const char* name,
                        void (*change)(Bytes& bytes)) {
        Bytes bytes = test::ReadBytes(signedPath);
        change(bytes);
        const std::string path = scratch_.File(name);
        EXPECT_TRUE(test::WriteBytes(path, bytes));
        return path;
    }

    static test::ScratchDir* keys_;
    static std::string* whyNot_;
    test::ScratchDir scratch_;
};

test::ScratchDir* SignedPackages::keys_ = nullptr;
std::string* SignedPackages::whyNot_ = nullptr;

// The table as the file has it: where the security entry says, and the DER message's end.
struct TableInFile {
    uint32_t at = 0;
    uint32_t size = 0;
    size_t messageEnd = 0;
};

TableInFile ReadTable(const Bytes& bytes) {
    TableInFile table;
    table.at = package::GetU32(&bytes[kSecurityEntryAt]);
    table.size = package::GetU32(&bytes[kSecurityEntryAt + 4]);
    const uint8_t* message = &bytes[table.at + 8];
    // 30 82 hh ll: a SEQUENCE whose length takes two bytes, as any signature over 255 bytes.
    EXPECT_EQ(message[0], 0x30);
    EXPECT_EQ(message[1], 0x82);
    table.messageEnd = table.at + 8 + 4 + (size_t{message[2]} << 8 | message[3]);
    return table;
}

TEST_F(SignedPackages, Pe32AndPe32PlusSignedWithAChainAreIntact) {
    for (bool pe32Plus : {false, true}) {
        SCOPED_TRACE(pe32Plus ? "PE32+" : "PE32");
        Bytes original;
        const std::string path = SignedPackage(pe32Plus, "sha256", "", &original);
        const Bytes bytes = test::ReadBytes(path);
        const package::SignatureCheck check = Check(path);
        EXPECT_TRUE(check.present);
        EXPECT_TRUE(check.digestMatches);
        EXPECT_TRUE(check.intact) << check.problem;
        EXPECT_EQ(check.problem, "");
        EXPECT_EQ(check.digestAlgorithm, "sha256");
        EXPECT_EQ(check.nested, 0u);
        EXPECT_EQ(check.signer, kSignerName);
        // The table follows the whole package, archive and closing word included.
        EXPECT_GE(check.tableAt, original.size());
        EXPECT_EQ(uint64_t{check.tableAt} + check.tableSize, bytes.size());
#ifdef _WIN32
        // The system's verdict on a CA no one installed differs (Wine's chain policy calls it
        // trusted, Windows an untrusted root); that it gives one is what is checked here.
        EXPECT_FALSE(check.trust.empty());
        std::printf("WinVerifyTrust on the %s package: %s (signer %s)\n",
                    pe32Plus ? "PE32+" : "PE32", check.trust.c_str(), check.signer.c_str());
#endif
    }
}

TEST_F(SignedPackages, ANestedSignatureIsCountedAndChecked) {
    const std::string outer = SignedPackage(false, "sha1");
    const std::string nested = scratch_.File("nested.exe");
    Sign(outer, nested, "sha256", "-nest");
    package::SignatureCheck check = Check(nested);
    EXPECT_TRUE(check.intact) << check.problem;
    EXPECT_EQ(check.digestAlgorithm, "sha1");
    EXPECT_EQ(check.nested, 1u);

    // Nesting rewrote the outer signature; the image it vouches for did not change.
    check = Check(Changed(nested, "nested_changed.exe", [](Bytes& bytes) { bytes[0x1500] ^= 1; }));
    EXPECT_FALSE(check.digestMatches);
    EXPECT_FALSE(check.intact);
    EXPECT_EQ(check.nested, 1u);
}

TEST_F(SignedPackages, ChangedBytesAreFoundWhereTheyMatter) {
    const std::string path = SignedPackage(false, "sha256");

    // In a section, and in the archive behind the image.
    for (uint32_t at : {uint32_t{0x600}, test::kPackageImageEnd + 40}) {
        Bytes bytes = test::ReadBytes(path);
        bytes[at] ^= 0x20;
        const std::string changed = scratch_.File("changed_" + std::to_string(at));
        ASSERT_TRUE(test::WriteBytes(changed, bytes));
        const package::SignatureCheck check = Check(changed);
        EXPECT_FALSE(check.digestMatches) << at;
        EXPECT_FALSE(check.intact) << at;
        EXPECT_NE(check.problem.find("does not match"), std::string::npos) << check.problem;
#ifdef _WIN32
        std::printf("WinVerifyTrust with byte %u changed: %s\n", at, check.trust.c_str());
#endif
    }

    // The CheckSum field is left out of the image hash: a tool may fix it after signing.
    package::SignatureCheck check = Check(Changed(path, "checksum_changed.exe", [](Bytes& bytes) {
        package::PutU32(&bytes[kCheckSumAt], package::GetU32(&bytes[kCheckSumAt]) + 1);
    }));
    EXPECT_TRUE(check.intact) << check.problem;

    // The signer's signature value closes the message: an OCTET STRING of the key's 256 bytes.
    check = Check(Changed(path, "signature_changed.exe", [](Bytes& bytes) {
        const TableInFile table = ReadTable(bytes);
        const uint8_t* header = &bytes[table.messageEnd - 256 - 4];
        ASSERT_EQ(package::GetU32(header), 0x00018204u) << "04 82 01 00 expected";
        bytes[table.messageEnd - 10] ^= 0x01;
    }));
    EXPECT_TRUE(check.digestMatches);
    EXPECT_FALSE(check.intact);
    EXPECT_NE(check.problem.find("signature"), std::string::npos) << check.problem;
}

TEST_F(SignedPackages, ATableOverSixtyFourKiBIsReadWhole) {
    const std::string path =
        SignedPackage(true, "sha256", "-ac '" + HostPath(keys_->File("extra.pem")) + "'");
    const package::SignatureCheck check = Check(path);
    EXPECT_GT(check.tableSize, 64u * 1024);
    EXPECT_TRUE(check.intact) << check.problem;
    EXPECT_EQ(check.signer, kSignerName);
}

TEST_F(SignedPackages, AnUnusableTableIsSaidToBeSo) {
    const std::string path = SignedPackage(false, "sha256");
    struct Case {
        const char* name;
        void (*change)(Bytes& bytes);
        const char* problem;
    };
    const Case cases[] = {
        {"revision", [](Bytes& bytes) { package::PutU16(&bytes[ReadTable(bytes).at + 4], 0x0100); },
         "revision"},
        {"type", [](Bytes& bytes) { package::PutU16(&bytes[ReadTable(bytes).at + 6], 1); }, "type"},
        {"appended", [](Bytes& bytes) { bytes.insert(bytes.end(), 8, 0); },
         "does not end the file"},
        {"unaligned",
         [](Bytes& bytes) {
             const TableInFile table = ReadTable(bytes);
             package::PutU32(&bytes[kSecurityEntryAt], table.at + 4);
             package::PutU32(&bytes[kSecurityEntryAt + 4], table.size - 4);
         },
         "aligned"},
        {"message",
         [](Bytes& bytes) {
             const TableInFile table = ReadTable(bytes);
             bytes[table.at + 8] = 0x31;  // a SET where the SignedData's SEQUENCE begins
         },
         "no DER message"},
    };
    for (const Case& c : cases) {
        const package::SignatureCheck check = Check(Changed(path, c.name, c.change));
        EXPECT_TRUE(check.present) << c.name;
        EXPECT_FALSE(check.intact) << c.name;
        EXPECT_NE(check.problem.find(c.problem), std::string::npos)
            << c.name << ": " << check.problem;
    }
}

TEST(SignatureCheck, AnUnsignedPackageIsNotPresent) {
    test::ScratchDir scratch;
    const std::string path = scratch.File("unsigned.exe");
    ASSERT_TRUE(test::WriteBytes(path, test::MakeSignablePackage(test::MakeZip({}), false)));
    platform::File file;
    ASSERT_TRUE(
        file.Open(path.c_str(), platform::Access::Read, platform::Disposition::OpenExisting));
    package::ImageSignature entry;
    ASSERT_TRUE(package::FindImageSignature(file, entry));
    package::SignatureCheck check;
    ASSERT_TRUE(package::CheckImageSignature(file, entry, check));
    EXPECT_FALSE(check.present);
    EXPECT_FALSE(check.intact);
    EXPECT_FALSE(check.problem.empty());
}

}  // namespace
