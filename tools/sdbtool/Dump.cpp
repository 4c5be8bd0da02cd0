// sdbtool dump FILE: the header's definitions and state, then every record in key-0 order as text.
#include <cstdio>

#include "recordengine/RecordTable.h"
#include "tools/sdbtool/Commands.h"

namespace tw {

namespace {

const char* TypeName(int type) {
    static const char* const names[] = {"?",         "FT_SHORT", "FT_INT",  "FT_FLOAT",  "FT_DOUBLE",
                                        "FT_STRING", "FT_BYTE",  "FT_MEMO", "FT_AUTOINC"};
    return type >= FT_SHORT && type <= FT_AUTOINC ? names[type] : names[0];
}

// Text fields quoted, with bytes that are not printable ASCII as \xHH.
std::string Quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void PrintHeader(const CTableHeader& h) {
    std::printf("title          %s\n", Quoted(h.Title()).c_str());
    std::printf("version        %s\n", Quoted(h.Version()).c_str());
    std::printf("format         %s\n", h.Format() == FORMAT_FIXED ? "fixed" : "packed");
    std::printf("record length  %d\n", h.RecordLength());
    std::printf("record count   %d\n", h.Count());
    std::printf("free lists     records %d, chain nodes %d, memos %d\n", h.FreeRecords(), h.FreeChainNodes(),
                h.FreeMemos());
    std::printf("fields         %d\n", h.FieldCount());
    for (int f = 0; f < h.FieldCount(); ++f)
        std::printf("  %3d  %-31s %-10s %d\n", f, h.FieldName(f).c_str(), TypeName(h.FieldType(f)), h.FieldWidth(f));
    std::printf("keys           %d\n", h.KeyCount());
    for (int k = 0; k < h.KeyCount(); ++k) {
        std::printf("  %3d  %-31s %s  root %d, first leaf %d, last leaf %d\n", k, h.KeyName(k).c_str(),
                    h.KeyKind(k) == KEY_UNIQUE ? "KEY_UNIQUE" : "KEY_DUP", h.Root(k), h.FirstLeaf(k), h.LastLeaf(k));
        for (int p = 0; p < h.KeyParts(k); ++p)
            std::printf("         part %d: field %s, case %d, offset %d, length %d\n", p,
                        h.FieldName(h.KeyPartField(k, p)).c_str(), h.KeyPartCase(k, p), h.KeyPartStart(k, p),
                        h.KeyPartLength(k, p));
    }
}

}  // namespace

int RunDump(const CommandArgs& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: sdbtool dump FILE\n");
        return 2;
    }
    CRecordTable t;
    if (!t.Open(args[0], OpenMode::Read)) {
        std::fprintf(stderr, "%s: %s\n", args[0].c_str(), t.GetErrorText().c_str());
        return 1;
    }
    const CTableHeader& h = t.GetHeader();
    std::printf("table          %s\n", args[0].c_str());
    PrintHeader(h);
    std::printf("records in key-0 order\n");
    int shown = 0;
    for (bool ok = t.MoveFirst(0); ok; ok = t.MoveNext(0), ++shown) {
        std::string line = " ";
        for (int f = 0; f < h.FieldCount(); ++f) {
            const int type = h.FieldType(f);
            const std::string text = t.GetFieldText(f);
            line += " " + h.FieldName(f) + "=" + (type == FT_STRING ? Quoted(text) : type == FT_MEMO ? "(memo)" : text);
        }
        std::printf("%s\n", line.c_str());
    }
    if (!t.GetErrorText().empty()) {
        std::fprintf(stderr, "%s: %s\n", args[0].c_str(), t.GetErrorText().c_str());
        return 1;
    }
    if (shown != h.Count()) {
        std::fprintf(stderr, "%s: %d records shown, the count is %d\n", args[0].c_str(), shown, h.Count());
        return 1;
    }
    return 0;
}

}  // namespace tw
