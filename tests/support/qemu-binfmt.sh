# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the scripts that run arm64 programs on this machine with Debian
# 12's qemu-user-static. qemu_binfmt_add registers its qemu-aarch64 in
# binfmt_misc, as binfmt-support would and with flag F (the interpreter is
# opened at once, so it serves inside chroots too), unless the machine has a
# qemu-aarch64 entry already, which is then used and left as it is.
# qemu_binfmt_remove takes away what qemu_binfmt_add added; call it from an
# EXIT trap, with INT and TERM trapped to exit.

qemu_binfmt_dir=/proc/sys/fs/binfmt_misc
qemu_binfmt_added_entry=0
qemu_binfmt_mounted=0
qemu_binfmt_sudo=()
[[ $(id -u) -eq 0 ]] || qemu_binfmt_sudo=(sudo)

qemu_binfmt_add() {
  local definition=/usr/share/binfmts/qemu-aarch64 magic mask interpreter
  if [[ ! -f "$qemu_binfmt_dir/status" ]]; then
    "${qemu_binfmt_sudo[@]}" mount -t binfmt_misc binfmt_misc "$qemu_binfmt_dir"
    qemu_binfmt_mounted=1
  fi
  if [[ -f "$qemu_binfmt_dir/qemu-aarch64" ]]; then
    echo "Using the machine's binfmt_misc entry qemu-aarch64."
    return
  fi
  magic=$(sed -n 's/^magic //p' "$definition")
  mask=$(sed -n 's/^mask //p' "$definition")
  interpreter=$(sed -n 's/^interpreter //p' "$definition")
  # P: the program's own argv[0] goes to qemu, as the interpreter's name
  # ("-binfmt-P") tells it to expect.
  echo ":qemu-aarch64:M::$magic:$mask:$interpreter:PF" | "${qemu_binfmt_sudo[@]}" tee "$qemu_binfmt_dir/register" >/dev/null
  qemu_binfmt_added_entry=1
  echo "Added the binfmt_misc entry qemu-aarch64 for $interpreter."
}

qemu_binfmt_remove() {
  if ((qemu_binfmt_added_entry)); then
    echo -1 | "${qemu_binfmt_sudo[@]}" tee "$qemu_binfmt_dir/qemu-aarch64" >/dev/null || true
    qemu_binfmt_added_entry=0
    echo "Removed the binfmt_misc entry qemu-aarch64."
  fi
  if ((qemu_binfmt_mounted)); then
    "${qemu_binfmt_sudo[@]}" umount "$qemu_binfmt_dir" || true
    qemu_binfmt_mounted=0
  fi
}
