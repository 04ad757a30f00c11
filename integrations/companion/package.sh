#!/usr/bin/env bash
# Packages the Companion module into the archive Companion imports.
#   integrations/companion/package.sh [DIR]    (default: build/companion)
# The module and the one file of the service's page it shares are copied into
# DIR as they sit in the tree; npm installs the packages pinned in
# package-lock.json there, again only when the lock file changes. The module
# ends up in DIR/integrations/companion/pkg and DIR/telvanor-VERSION.tgz.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dir=$(mkdir -p "${1:-$root/build/companion}" && cd "${1:-$root/build/companion}" && pwd)
module=$dir/integrations/companion
mkdir -p "$module" "$dir/service/web"
cp "$root/service/web/typerules.js" "$dir/service/web/"
# The page's scripts are ES modules (the tests import the module's sources unbundled).
echo '{"type": "module"}' >"$dir/service/web/package.json"
rm -rf "$module/src" "$module/companion"
cp -r "$here/src" "$here/companion" "$here/package.json" "$here/package-lock.json" "$module/"
if ! cmp -s "$here/package-lock.json" "$module/node_modules/.telvanor-lock.json"; then
  command -v npm >/dev/null || { echo "npm is missing (tools/deps.sh installs it)" >&2; exit 1; }
  # Nothing runs at install but the packages' own code at build time.
  (cd "$module" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  cp "$here/package-lock.json" "$module/node_modules/.telvanor-lock.json"
fi
cd "$module"
node node_modules/@companion-module/tools/scripts/build.js
mv -f "$module"/telvanor-*.tgz "$dir/"
echo "module: $module/pkg"
ls "$dir"/telvanor-*.tgz
