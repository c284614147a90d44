/* Builds the benchmark volume through libntfs-3g: N folders of M files each
 * at the root, plus a folder "2" with 200 files of which the last 50 are
 * deleted (after everything else is created, so their records stay free).
 *
 *   cc -O2 -o mkmany mkmany.c -lntfs-3g
 *   ./mkmany IMAGE [folders [files-per-folder]]
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <ntfs-3g/types.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/volume.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/unistr.h>

static ntfs_inode* create(ntfs_inode* dir, const char* name, mode_t type) {
  ntfschar* uname = NULL;
  int len = ntfs_mbstoucs(name, &uname);
  if (len <= 0) return NULL;
  ntfs_inode* ni = ntfs_create(dir, const_cpu_to_le32(0), uname, (u8)len, type);
  free(uname);
  return ni;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s IMAGE [folders [files]]\n", argv[0]);
    return 2;
  }
  int folders = argc > 2 ? atoi(argv[2]) : 1000;
  int files = argc > 3 ? atoi(argv[3]) : 1000;
  ntfs_volume* vol = ntfs_mount(argv[1], 0);
  if (!vol) {
    perror("ntfs_mount");
    return 1;
  }
  char name[64];
  for (int d = 0; d < folders; ++d) {
    ntfs_inode* root = ntfs_inode_open(vol, FILE_root);
    snprintf(name, sizeof name, "bulk%04d", d);
    ntfs_inode* dir = create(root, name, S_IFDIR);
    if (!dir) {
      perror("create folder");
      return 1;
    }
    for (int f = 0; f < files; ++f) {
      snprintf(name, sizeof name, "file%06d.dat", f);
      ntfs_inode* ni = create(dir, name, S_IFREG);
      if (!ni) {
        perror("create file");
        return 1;
      }
      ntfs_inode_close(ni);
    }
    ntfs_inode_close(dir);
    ntfs_inode_close(root);
    if (d % 100 == 99) fprintf(stderr, "  %d folders\n", d + 1);
  }
  ntfs_inode* root = ntfs_inode_open(vol, FILE_root);
  ntfs_inode* two = create(root, "2", S_IFDIR);
  if (!two) {
    perror("create 2");
    return 1;
  }
  u64 two_mref = two->mft_no;
  ntfs_inode_close(two);
  ntfs_inode_close(root);
  for (int f = 0; f < 200; ++f) {
    ntfs_inode* dir = ntfs_inode_open(vol, two_mref);
    snprintf(name, sizeof name, "doc%03d.txt", f);
    ntfs_inode* ni = create(dir, name, S_IFREG);
    if (!ni) {
      perror("create doc");
      return 1;
    }
    ntfs_inode_close(ni);
    ntfs_inode_close(dir);
  }
  for (int f = 150; f < 200; ++f) {
    snprintf(name, sizeof name, "doc%03d.txt", f);
    char path[96];
    snprintf(path, sizeof path, "/2/%s", name);
    ntfs_inode* ni = ntfs_pathname_to_inode(vol, NULL, path);
    ntfs_inode* dir = ntfs_inode_open(vol, two_mref);
    ntfschar* uname = NULL;
    int len = ntfs_mbstoucs(name, &uname);
    if (!ni || !dir || len <= 0 || ntfs_delete(vol, path, ni, dir, uname, (u8)len)) {
      perror("delete");
      return 1;
    }
    free(uname);
  }
  if (ntfs_umount(vol, FALSE)) {
    perror("ntfs_umount");
    return 1;
  }
  return 0;
}
