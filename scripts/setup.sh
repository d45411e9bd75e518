#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, when it is missing. Run as root.
set -euo pipefail

packages=(cmake g++ make zlib1g-dev libgtest-dev python3 unzip
          mingw-w64 libz-mingw-w64-dev wine wine64 wine32:i386 xvfb locales
          fonts-wine fonts-wqy-zenhei imagemagick
          g++-multilib zlib1g-dev:i386 qemu-user osslsigncode openssl
          libssl-dev libssl-dev:i386)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine takes the ANSI code page and the interface language from LANG.
wanted_locales=(en_US.UTF-8 zh_CN.UTF-8 zh_TW.UTF-8 zh_HK.UTF-8)
have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | sed 's/utf8/utf-8/')
regenerate=0
for loc in "${wanted_locales[@]}"; do
  lower=$(echo "$loc" | tr 'A-Z' 'a-z')
  if ! grep -qx "$lower" <<<"$have"; then
    sed -i "s/^# *\(${loc} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${loc} UTF-8" /etc/locale.gen || echo "${loc} UTF-8" >> /etc/locale.gen
    regenerate=1
  fi
done
if ((regenerate)); then
  echo "setup: generating locales"
  locale-gen >/dev/null
fi
