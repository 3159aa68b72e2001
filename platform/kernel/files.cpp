#include "platform/kernel/files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/kernel/violations.h"

namespace {

OBJECT_TYPE g_open_file_type{"OpenFile"};

struct OpenFile {
  FILE* f;
  int64_t size;
  int64_t position;
  bool directory;
};

void DestroyOpenFile(void* p) {
  auto* of = static_cast<OpenFile*>(p);
  if (of->f) fclose(of->f);
  delete of;
}

std::mutex g_root_lock;
std::string g_root = "/tmp/vorn-files";

bool StartsNoCase(WStringView s, WStringView prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

// Finds |name| in |dir| ignoring case; the exact entry name when found.
bool FindEntry(const std::string& dir, const std::string& name, std::string* found) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  closedir(d);
  return ok;
}

// Resolves each component of |relative| ('\'-separated) under |base| ignoring case.
// Returns 0 with |out| set, or the status of the first component that is missing.
NTSTATUS Resolve(const std::string& base, const std::string& relative, std::string* out) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : relative) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(part);
  if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::string path = base;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == "..") return STATUS_OBJECT_NAME_INVALID;
    std::string entry;
    if (!FindEntry(path, parts[i], &entry))
      return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    path += "/" + entry;
  }
  *out = path;
  return STATUS_SUCCESS;
}

// Maps a kernel file name to its folder under the root and the rest of the name.
bool Split(WStringView name, std::string* base, std::string* rest) {
  std::string root = vorn::kernel::files::Root();
  WStringView tail;
  if (StartsNoCase(name, u"\\DosDevices\\"))
    tail = name.substr(12);
  else if (StartsNoCase(name, u"\\??\\"))
    tail = name.substr(4);
  else if (StartsNoCase(name, u"\\SystemRoot\\")) {
    *base = root + "/SystemRoot";
    *rest = ToNarrow(name.substr(12));
    return true;
  } else {
    return false;
  }
  // "C:\dir\file": the drive letter names a folder.
  if (tail.size() < 2 || tail[1] != u':') return false;
  std::string drive(1, static_cast<char>(tail[0]));
  std::string entry;
  if (!FindEntry(root, drive, &entry)) entry = drive;
  *base = root + "/" + entry;
  *rest = ToNarrow(tail.substr(2));
  return true;
}

}  // namespace

using vorn::kernel::ReportViolation;

NTSTATUS ZwCreateFile(PHANDLE file, ACCESS_MASK, OBJECT_ATTRIBUTES* attributes,
                      IO_STATUS_BLOCK* io_status, LARGE_INTEGER*, ULONG, ULONG,
                      ULONG disposition, ULONG options, PVOID, ULONG) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("ZwCreateFile at IRQL %d", KeGetCurrentIrql());
  if (!file || !attributes || !attributes->ObjectName || !attributes->ObjectName->Buffer)
    return STATUS_INVALID_PARAMETER;
  if (disposition != FILE_OPEN) return STATUS_NOT_SUPPORTED;
  std::string base, rest, path;
  if (!Split(ToWString(*attributes->ObjectName), &base, &rest)) return STATUS_OBJECT_PATH_NOT_FOUND;
  NTSTATUS status = Resolve(base, rest, &path);
  if (!NT_SUCCESS(status)) return status;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  bool directory = S_ISDIR(st.st_mode);
  if (directory && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
  auto* of = new OpenFile{nullptr, static_cast<int64_t>(st.st_size), 0, directory};
  if (!directory) {
    of->f = fopen(path.c_str(), "rb");
    if (!of->f) {
      delete of;
      return STATUS_ACCESS_DENIED;
    }
  }
  vorn::kernel::internal::RegisterObject(of, &g_open_file_type, DestroyOpenFile);
  *file = vorn::kernel::internal::CreateHandle(of);
  ObDereferenceObject(of);
  if (io_status) {
    io_status->Status = STATUS_SUCCESS;
    io_status->Information = 1;  // FILE_OPENED
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryInformationFile(HANDLE file, IO_STATUS_BLOCK* io_status, PVOID info,
                                ULONG length, FILE_INFORMATION_CLASS cls) {
  auto* of = static_cast<OpenFile*>(vorn::kernel::internal::LookupHandle(file, &g_open_file_type));
  if (!of) return STATUS_INVALID_HANDLE;
  if (cls != FileStandardInformation) return STATUS_INVALID_INFO_CLASS;
  if (!info || length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  auto* s = static_cast<FILE_STANDARD_INFORMATION*>(info);
  std::memset(s, 0, sizeof(*s));
  s->EndOfFile.QuadPart = of->directory ? 0 : of->size;
  s->AllocationSize.QuadPart = (s->EndOfFile.QuadPart + 4095) & ~int64_t{4095};
  s->NumberOfLinks = 1;
  s->Directory = of->directory;
  if (io_status) {
    io_status->Status = STATUS_SUCCESS;
    io_status->Information = sizeof(*s);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwReadFile(HANDLE file, HANDLE, PIO_APC_ROUTINE, PVOID, IO_STATUS_BLOCK* io_status,
                    PVOID buffer, ULONG length, LARGE_INTEGER* offset, ULONG*) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("ZwReadFile at IRQL %d", KeGetCurrentIrql());
  auto* of = static_cast<OpenFile*>(vorn::kernel::internal::LookupHandle(file, &g_open_file_type));
  if (!of) return STATUS_INVALID_HANDLE;
  if (of->directory) return STATUS_INVALID_DEVICE_REQUEST;
  if (!io_status || (length && !buffer)) return STATUS_INVALID_PARAMETER;
  int64_t at = offset ? offset->QuadPart : of->position;
  io_status->Information = 0;
  if (at < 0) return STATUS_INVALID_PARAMETER;
  if (at >= of->size) {
    io_status->Status = STATUS_END_OF_FILE;
    return STATUS_END_OF_FILE;
  }
  fseek(of->f, static_cast<long>(at), SEEK_SET);
  size_t n = fread(buffer, 1, length, of->f);
  of->position = at + static_cast<int64_t>(n);
  io_status->Status = STATUS_SUCCESS;
  io_status->Information = n;
  return STATUS_SUCCESS;
}

namespace vorn::kernel::files {

void SetRoot(const std::string& folder) {
  std::lock_guard<std::mutex> guard(g_root_lock);
  g_root = folder;
}

std::string Root() {
  std::lock_guard<std::mutex> guard(g_root_lock);
  return g_root;
}

std::string HostPath(WStringView kernel_name) {
  std::string base, rest, path;
  if (!Split(kernel_name, &base, &rest)) return {};
  if (NT_SUCCESS(Resolve(base, rest, &path))) return path;
  std::string p = base;
  for (char c : rest) p.push_back(c == '\\' ? '/' : c);
  return p;
}

}  // namespace vorn::kernel::files
