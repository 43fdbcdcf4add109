#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <cstring>
#include <functional>

#include "dsutils/engine/archive_owners.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/signature_archive.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/dsutils/session_double.h"

namespace dsutils {
namespace {

const char kNewList[] =
    "; =========================== \r\n"
    "; === Signature list file === \r\n"
    "; =========================== \r\n"
    "\r\n"
    "[Header]\r\n"
    "Company=Veltrana\r\n"
    "Version=1\r\n"
    "\r\n"
    "[Context]\r\n"
    "Document=report.doc\r\n"
    "Signature_1=report.doc.1\r\n"
    "\r\n";

std::string list_for(const std::string& doc, int signatures, int version = 1) {
  std::string s = "[Header]\r\nVersion=" + std::to_string(version) + "\r\n[Context]\r\nDocument=" + doc + "\r\n";
  for (int i = 1; i <= signatures; ++i)
    s += "Signature_" + std::to_string(i) + "=" + doc + "." + std::to_string(i) + "\r\n";
  return s;
}

// One member as a test writes it, hostile ones included.
struct Member {
  Member(std::string n, std::string d, unsigned t = AE_IFREG, std::string l = {}, bool h = false,
         std::int64_t sparse = 0)
      : name(std::move(n)), data(std::move(d)), type(t), link(std::move(l)), hard(h), sparseSize(sparse) {}
  std::string name;
  std::string data;
  unsigned type;
  std::string link;  // symbolic or hard link target
  bool hard;
  std::int64_t sparseSize;  // > 0: a sparse member of that size
};

std::string make_tar(const std::vector<Member>& members, bool gzip = false) {
  std::string out;
  qcrypto::UniquePtr<archive> w(archive_write_new());
  archive_write_set_format_pax(w.get());
  if (gzip) archive_write_add_filter_gzip(w.get());
  archive_write_open(
      w.get(), &out, nullptr,
      [](archive*, void* p, const void* b, size_t n) -> la_ssize_t {
        static_cast<std::string*>(p)->append(static_cast<const char*>(b), n);
        return static_cast<la_ssize_t>(n);
      },
      nullptr);
  for (const Member& m : members) {
    qcrypto::UniquePtr<archive_entry> e(archive_entry_new());
    archive_entry_set_pathname(e.get(), m.name.c_str());
    archive_entry_set_filetype(e.get(), m.type);
    archive_entry_set_perm(e.get(), 0644);
    if (m.type == AE_IFCHR) archive_entry_set_rdev(e.get(), makedev(1, 3));
    if (!m.link.empty()) {
      if (m.hard)
        archive_entry_set_hardlink(e.get(), m.link.c_str());
      else
        archive_entry_set_symlink(e.get(), m.link.c_str());
    }
    if (m.sparseSize > 0) {
      archive_entry_set_size(e.get(), m.sparseSize);
      archive_entry_sparse_add_entry(e.get(), 0, 512);
    } else {
      archive_entry_set_size(e.get(),
                             m.type == AE_IFREG && m.link.empty() ? static_cast<la_int64_t>(m.data.size()) : 0);
    }
    archive_write_header(w.get(), e.get());
    if (m.sparseSize > 0) {
      const std::string block(512, 'x');
      archive_write_data(w.get(), block.data(), block.size());
    } else if (!m.data.empty()) {
      archive_write_data(w.get(), m.data.data(), m.data.size());
    }
  }
  archive_write_close(w.get());
  return out;
}

// A ustar header that announces 4 GiB of data the archive does not hold.
std::string huge_header_tar() {
  std::string h(512, '\0');
  std::memcpy(h.data(), "doc.txt", 7);
  std::memcpy(h.data() + 100, "0000644", 7);
  std::memcpy(h.data() + 108, "0000000", 7);
  std::memcpy(h.data() + 116, "0000000", 7);
  std::memcpy(h.data() + 124, "40000000000", 11);
  std::memcpy(h.data() + 136, "00000000000", 11);
  h[156] = '0';
  std::memcpy(h.data() + 257, "ustar", 6);
  std::memcpy(h.data() + 263, "00", 2);
  std::memset(h.data() + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  std::snprintf(h.data() + 148, 8, "%06o", sum);
  return h + std::string(1024, '\0');
}

std::vector<Member> good_members() {
  return {{"doc.txt", "document"}, {"doc.txt.1", "signature 1"}, {sga::kListName, list_for("doc.txt", 1)}};
}

class SignatureArchive : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(log_to_scratch());
    ASSERT_TRUE(QDir().mkpath(path("work")));
  }
  QStringList entries(const QString& rel) const {
    return QDir(path(rel)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
  }
  // Runs GNU tar; its standard output, or a failed test.
  QByteArray tar(const QStringList& args) {
    const QString program = QStandardPaths::findExecutable("tar");
    EXPECT_FALSE(program.isEmpty()) << "GNU tar is not installed (scripts/install-deps.sh installs it)";
    if (program.isEmpty()) return {};
    QProcess p;
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << args.join(' ').toStdString() << ": " << p.readAllStandardError().toStdString();
    return p.readAllStandardOutput();
  }
  EngineHelper h_;
  testing::RecordingSession session_;
};

TEST_F(SignatureArchive, NewArchiveLayoutAndGnuTarReadsIt) {
  write_file("work/report.doc", "the document");
  write_file("work/report.doc.1", "the signature");
  ASSERT_EQ(h_.WriteSignatureList(path("work/report.doc"), path("work/report.doc.sga")), 1);
  EXPECT_EQ(read_file(path("work/_list_._vt")), kNewList);
  EXPECT_EQ(entries("work"), QStringList({"_list_._vt", "report.doc", "report.doc.1", "report.doc.sga"}));

  EXPECT_EQ(tar({"-tf", path("work/report.doc.sga")}), QByteArray("report.doc\nreport.doc.1\n_list_._vt\n"));
  ASSERT_TRUE(QDir().mkpath(path("by-tar")));
  tar({"-xf", path("work/report.doc.sga"), "-C", path("by-tar")});
  EXPECT_EQ(read_file(path("by-tar/report.doc")), "the document");
  EXPECT_EQ(read_file(path("by-tar/report.doc.1")), "the signature");
  EXPECT_EQ(read_file(path("by-tar/_list_._vt")), kNewList);

  // And we read it back elsewhere.
  ASSERT_TRUE(QDir().mkpath(path("unpack")));
  ASSERT_TRUE(QFile::copy(path("work/report.doc.sga"), path("unpack/in.sga")));
  QString doc;
  QStringList sigs;
  ASSERT_EQ(h_.ReadSignatureList(path("unpack/in.sga"), doc, sigs), 1);
  EXPECT_EQ(doc, "report.doc");
  EXPECT_EQ(sigs, QStringList{"report.doc.1"});
  EXPECT_EQ(read_file(path("unpack/report.doc")), "the document");
  EXPECT_EQ(entries("unpack"), QStringList({"_list_._vt", "in.sga", "report.doc", "report.doc.1"}));
}

TEST_F(SignatureArchive, WriteFailuresLeaveNothing) {
  write_file("work/doc.txt", "d");  // no doc.txt.1 beside it
  EXPECT_EQ(h_.WriteSignatureList(path("work/doc.txt"), path("work/doc.txt.sga")), 0);
  EXPECT_FALSE(QFileInfo::exists(path("work/doc.txt.sga")));
  EXPECT_EQ(h_.WriteSignatureList("doc.txt", path("work/doc.txt.sga")), 0);
  // A line break in the name would inject list lines.
  write_file("work/a\nb", "d");
  write_file("work/a\nb.1", "s");
  EXPECT_EQ(h_.WriteSignatureList(path("work/a\nb"), path("work/x.sga")), 0);
  for (const QString& e : entries("work")) {
    EXPECT_FALSE(e.startsWith(".sga") || e.endsWith(".sga")) << e.toStdString();
  }
}

TEST_F(SignatureArchive, ArchivesWrittenByGnuTarAreRead) {
  const std::string longDoc = std::string(140, 'L') + ".txt";
  struct Case {
    const char* format;
    std::string doc;
  };
  for (const Case& c : {Case{"ustar", "doc.txt"}, Case{"gnu", longDoc}, Case{"pax", longDoc},
                        Case{"gnu", "отчёт за год.doc"}, Case{"pax", "отчёт за год.doc"}}) {
    SCOPED_TRACE(std::string(c.format) + " " + c.doc);
    QDir(path("src")).removeRecursively();
    QDir(path("unpack")).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(path("src")));
    ASSERT_TRUE(QDir().mkpath(path("unpack")));
    const QString doc = QString::fromStdString(c.doc);
    write_file("src/" + doc, "body of " + c.doc);
    write_file("src/" + doc + ".1", "sig 1");
    write_file("src/" + doc + ".2", "sig 2");
    write_file("src/_list_._vt", list_for(c.doc, 2));
    tar({"--format=" + QString(c.format), "-cf", path("unpack/in.sga"), "-C", path("src"), "_list_._vt", doc,
         doc + ".1", doc + ".2"});
    QString gotDoc;
    QStringList sigs;
    ASSERT_EQ(h_.ReadSignatureList(path("unpack/in.sga"), gotDoc, sigs), 1);
    EXPECT_EQ(gotDoc, doc);
    EXPECT_EQ(sigs, QStringList({doc + ".1", doc + ".2"}));
    EXPECT_EQ(read_file(path("unpack/" + doc)), "body of " + c.doc);
    EXPECT_EQ(read_file(path("unpack/" + doc + ".2")), "sig 2");
  }
}

TEST_F(SignatureArchive, ListReading) {
  struct Case {
    const char* name;
    std::string list;
    int ret;
    QStringList sigs;
  };
  const std::string gap =
      "[Header]\nVersion=1\n[Context]\nDocument=doc.txt\nSignature_1=doc.txt.1\nSignature_3=doc.txt.3\n";
  const Case cases[] = {
      {"gap ends the list", gap, 1, {"doc.txt.1"}},
      {"version 2", list_for("doc.txt", 1, 2), 0, {}},
      {"no version", "[Context]\nDocument=doc.txt\n", 0, {}},
      {"no document", "[Header]\nVersion=1\n[Context]\nSignature_1=doc.txt.1\n", 0, {}},
      {"values before a bad line count", list_for("doc.txt", 1) + "\x01junk\n", 1, {"doc.txt.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(path("unpack")).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(path("unpack")));
    const std::string bytes =
        make_tar({{"doc.txt", "d"}, {"doc.txt.1", "1"}, {"doc.txt.3", "3"}, {sga::kListName, c.list}});
    write_file("unpack/in.sga", bytes);
    QString doc;
    QStringList sigs;
    EXPECT_EQ(h_.ReadSignatureList(path("unpack/in.sga"), doc, sigs), c.ret);
    if (c.ret == 1) {
      EXPECT_EQ(sigs, c.sigs);
    } else {
      EXPECT_EQ(entries("unpack"), QStringList{"in.sga"});
    }
  }
}

// Archives from anywhere: each is refused as a whole, and nothing lands in
// the folder (or outside it).
TEST_F(SignatureArchive, HostileArchivesAreRefused) {
  auto with = [](std::vector<Member> extra) {
    std::vector<Member> m = good_members();
    m.insert(m.end(), extra.begin(), extra.end());
    return make_tar(m);
  };
  std::vector<Member> many = good_members();
  for (int i = 0; i < 10000; ++i) many.push_back({"m" + std::to_string(i), ""});
  const std::string notListed = make_tar({{"doc.txt", "d"}, {sga::kListName, list_for("doc.txt", 1)}});
  const std::string otherDoc = make_tar({{"doc.txt.1", "s"}, {sga::kListName, list_for("doc.txt", 1)}});
  std::string garbage(4096, 'g');
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"parent folder", with({{"../evil", "x"}})},
      {"parent folder inside", with({{"a/../../evil", "x"}})},
      {"dot dot", with({{"..", "x"}})},
      {"absolute", with({{"/tmp/evil", "x"}})},
      {"folder part", with({{"sub/evil", "x"}})},
      {"backslash", with({{"sub\\evil", "x"}})},
      {"control character", with({{"a\nb", "x"}})},
      {"symbolic link", with({{"link", "", AE_IFLNK, "/etc/passwd"}})},
      {"hard link", with({{"hard", "", AE_IFREG, "doc.txt", true}})},
      {"character device", with({{"dev", "", AE_IFCHR}})},
      {"fifo", with({{"fifo", "", AE_IFIFO}})},
      {"folder", with({{"dir", "", AE_IFDIR}})},
      {"duplicate", with({{"doc.txt", "second"}})},
      {"Src", with({{"Src", "x"}})},
      {"the archive's own name", with({{"in.sga", "x"}})},
      {"10,000 members", make_tar(many)},
      {"4 GiB sparse member", with({{"sparse", "", AE_IFREG, "", false, 4LL << 30}})},
      {"4 GiB header, no data", huge_header_tar()},
      {"list names a missing document", otherDoc},
      {"list names a missing signature", notListed},
      {"list names itself", make_tar({{"doc.txt.1", "s"}, {sga::kListName, list_for(sga::kListName, 0)}})},
      {"no list", make_tar({{"doc.txt", "d"}, {"doc.txt.1", "s"}})},
      {"compressed", make_tar(good_members(), true)},
      {"not an archive", garbage},
      {"cut short", with({}).substr(0, 1100)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QDir(path("unpack")).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(path("unpack")));
    write_file("unpack/in.sga", c.bytes);
    QString doc;
    QStringList sigs;
    EXPECT_EQ(h_.ReadSignatureList(path("unpack/in.sga"), doc, sigs), 0);
    EXPECT_EQ(entries("unpack"), QStringList{"in.sga"});
    EXPECT_EQ(read_file(path("unpack/in.sga")), c.bytes);
    sga::Contents contents;
    EXPECT_FALSE(sga::check_archive_bytes(c.bytes, {"Src", "in.sga"}, contents));
  }
  EXPECT_FALSE(QFileInfo::exists(path("evil")));
  // The same members, well formed, are read.
  write_file("unpack/in.sga", with({}));
  QString doc;
  QStringList sigs;
  EXPECT_EQ(h_.ReadSignatureList(path("unpack/in.sga"), doc, sigs), 1);
  // An existing link in the folder under a member's name is replaced, not
  // written through.
  write_file("outside.txt", "outside");
  QFile::remove(path("unpack/doc.txt"));
  ASSERT_TRUE(QFile::link(path("outside.txt"), path("unpack/doc.txt")));
  EXPECT_EQ(h_.ReadSignatureList(path("unpack/in.sga"), doc, sigs), 1);
  EXPECT_EQ(read_file(path("outside.txt")), "outside");
  EXPECT_FALSE(QFileInfo(path("unpack/doc.txt")).isSymLink());
  EXPECT_EQ(read_file(path("unpack/doc.txt")), "document");
}

TEST_F(SignatureArchive, AddingAndReplacingSignatures) {
  write_file("work/doc.txt", "document");
  write_file("work/doc.txt.1", "sig 1");
  ASSERT_EQ(h_.WriteSignatureList(path("work/doc.txt"), path("work/doc.txt.sga")), 1);
  write_file("work/doc.txt.2", "sig 2");
  ASSERT_EQ(h_.AppendArchiveSignature(path("work/doc.txt.sga"), "doc.txt.2", false), 1);
  write_file("work/doc.txt.3", "sig 3");
  ASSERT_EQ(h_.AppendArchiveSignature(path("work/doc.txt.sga"), "doc.txt.3", false), 1);
  EXPECT_EQ(tar({"-tf", path("work/doc.txt.sga")}),
            QByteArray("_list_._vt\ndoc.txt\ndoc.txt.3\ndoc.txt.2\ndoc.txt.1\n"));
  EXPECT_NE(read_file(path("work/_list_._vt")).find("Signature_3=doc.txt.3\r\n"), std::string::npos);
  // The old archives were erased under their second name.
  int oldErased = 0;
  for (const QString& p : session_.erased()) oldErased += GetFileFromName(p).startsWith(".sga-old-");
  EXPECT_EQ(oldErased, 2);

  write_file("work/doc.txt.1", "sig 1, new");
  ASSERT_EQ(h_.AppendArchiveSignature(path("work/doc.txt.sga"), "doc.txt.1", true), 1);
  EXPECT_EQ(tar({"-tf", path("work/doc.txt.sga")}),
            QByteArray("_list_._vt\ndoc.txt\ndoc.txt.3\ndoc.txt.2\ndoc.txt.1\n"));
  EXPECT_EQ(tar({"-xOf", path("work/doc.txt.sga"), "doc.txt.1"}), QByteArray("sig 1, new"));
  write_file("work/doc.txt.2", "sig 2, new");
  ASSERT_EQ(h_.AppendArchiveSignature(path("work/doc.txt.sga"), "doc.txt.2", true), 1);
  EXPECT_EQ(tar({"-tf", path("work/doc.txt.sga")}),
            QByteArray("_list_._vt\ndoc.txt\ndoc.txt.3\ndoc.txt.1\ndoc.txt.2\n"));

  ASSERT_TRUE(QDir().mkpath(path("unpack")));
  ASSERT_TRUE(QFile::copy(path("work/doc.txt.sga"), path("unpack/x.sga")));
  QString doc;
  QStringList sigs;
  ASSERT_EQ(h_.ReadSignatureList(path("unpack/x.sga"), doc, sigs), 1);
  EXPECT_EQ(sigs, QStringList({"doc.txt.1", "doc.txt.2", "doc.txt.3"}));
  EXPECT_EQ(read_file(path("unpack/doc.txt.2")), "sig 2, new");

  // GNU tar can delete from and append to what we wrote.
  tar({"--delete", "-f", path("unpack/x.sga"), "doc.txt.3"});
  tar({"-rf", path("unpack/x.sga"), "-C", path("work"), "doc.txt.3"});
  EXPECT_EQ(tar({"-tf", path("unpack/x.sga")}), QByteArray("_list_._vt\ndoc.txt\ndoc.txt.1\ndoc.txt.2\ndoc.txt.3\n"));
}

TEST_F(SignatureArchive, FailedAddLeavesTheArchive) {
  write_file("work/doc.txt", "document");
  write_file("work/doc.txt.1", "sig 1");
  ASSERT_EQ(h_.WriteSignatureList(path("work/doc.txt"), path("work/doc.txt.sga")), 1);
  const std::string before = read_file(path("work/doc.txt.sga"));
  const std::string listBefore = read_file(path("work/_list_._vt"));
  struct Case {
    const char* name;
    std::function<void()> prepare;
    const char* signature;
    bool replace;
  };
  const Case cases[] = {
      {"signature file missing", [] {}, "doc.txt.2", false},
      {"document gone from the folder",
       [&] {
         QFile::remove(path("work/doc.txt"));
         write_file("work/doc.txt.2", "s");
       },
       "doc.txt.2", false},
      {"already listed", [] {}, "doc.txt.1", false},
      {"list gone", [&] { QFile::remove(path("work/_list_._vt")); }, "doc.txt.1", false},
      {"replace with a missing file", [] {}, "doc.txt.9", true},
      {"a signature that is a link",
       [&] {
         write_file("outside", "o");
         QFile::link(path("outside"), path("work/doc.txt.2"));
       },
       "doc.txt.2", true},
      {"a name with a folder part", [] {}, "../doc.txt.1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file("work/doc.txt", "document");
    write_file("work/_list_._vt", listBefore);
    QFile::remove(path("work/doc.txt.2"));
    c.prepare();
    EXPECT_EQ(h_.AppendArchiveSignature(path("work/doc.txt.sga"), c.signature, c.replace), 0);
    EXPECT_EQ(read_file(path("work/doc.txt.sga")), before);
    for (const QString& e : entries("work")) {
      EXPECT_FALSE(e.startsWith(".sga-")) << e.toStdString();
    }
  }
  EXPECT_EQ(h_.AppendArchiveSignature(path("work/none.sga"), "doc.txt.1", false), 0);
}

}  // namespace
}  // namespace dsutils
