// The built libKelvaneDll.so as a host sees it: loaded with dlopen, the nine
// exports found by plain name, and nothing else defined in its dynamic
// symbol table.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#ifndef KELVANE_DLL_PATH
#error "KELVANE_DLL_PATH must name the built shared library"
#endif

namespace {

const std::set<std::string> kExports = {
    "StartServer",    "StopServer",         "SendAskPack",
    "GetListImageInfo", "GetMapSnapInfo",   "GetSelectImageInfo",
    "GetDiscoverInfo", "GetClientInfo",     "GetLastErrCode"};

// Names of the non-local symbols of an ELF64 file's .dynsym: those it
// defines, and those it needs from elsewhere.
bool DynamicSymbols(const std::string& path, std::set<std::string>& names,
                    std::set<std::string>& needed, std::string& error) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return error = "cannot open " + path, false;
  std::vector<char> file(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(file.data(), static_cast<std::streamsize>(file.size()));
  if (file.size() < sizeof(Elf64_Ehdr)) return error = "file too short", false;
  Elf64_Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof(eh));
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
    return error = "not an ELF64 file", false;
  if (eh.e_shoff + uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr) > file.size())
    return error = "section table out of range", false;
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  std::memcpy(sections.data(), file.data() + eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr));
  for (const Elf64_Shdr& s : sections) {
    if (s.sh_type != SHT_DYNSYM) continue;
    if (s.sh_link >= sections.size()) return error = "bad string table link", false;
    const Elf64_Shdr& strtab = sections[s.sh_link];
    if (s.sh_offset + s.sh_size > file.size() || strtab.sh_offset + strtab.sh_size > file.size())
      return error = "symbol table out of range", false;
    for (uint64_t off = 0; off + sizeof(Elf64_Sym) <= s.sh_size; off += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, file.data() + s.sh_offset + off, sizeof(sym));
      if (ELF64_ST_BIND(sym.st_info) == STB_LOCAL) continue;
      if (sym.st_name >= strtab.sh_size) return error = "bad symbol name", false;
      const std::string name(file.data() + strtab.sh_offset + sym.st_name);
      (sym.st_shndx == SHN_UNDEF ? needed : names).insert(name);
    }
    return true;
  }
  return error = "no .dynsym", false;
}

}  // namespace

TEST(SharedLibraryTest, ExportsExactlyTheNineFunctions) {
  std::set<std::string> names, needed;
  std::string error;
  ASSERT_TRUE(DynamicSymbols(KELVANE_DLL_PATH, names, needed, error)) << error;
  EXPECT_EQ(names, kExports);
  // Its thread-local variables live in the static block: loaded with dlopen,
  // it would otherwise get them from malloc in each thread, and the C
  // library aborts the host when that fails.
  EXPECT_EQ(needed.count("__tls_get_addr"), 0u);
}

TEST(SharedLibraryTest, HostLoadsAndResolvesByPlainName) {
  void* lib = dlopen(KELVANE_DLL_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const std::string& name : kExports)
    EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
  // Internal functions stay inside.
  EXPECT_EQ(dlsym(lib, "_Z13GetNetManagerv"), nullptr);
  EXPECT_EQ(dlsym(lib, "TcpCreate"), nullptr);

  // Calls that need no network: no request before a start.
  auto getLastErrCode = reinterpret_cast<int (*)()>(dlsym(lib, "GetLastErrCode"));
  auto sendAskPack = reinterpret_cast<int (*)(uint32_t, void*)>(dlsym(lib, "SendAskPack"));
  ASSERT_NE(getLastErrCode, nullptr);
  ASSERT_NE(sendAskPack, nullptr);
  EXPECT_EQ(getLastErrCode(), 1);
  EXPECT_EQ(sendAskPack(9, nullptr), 1);
  EXPECT_EQ(sendAskPack(1, nullptr), 1);
  // Kept loaded, as a host does: the manager lives as long as the process.
}
