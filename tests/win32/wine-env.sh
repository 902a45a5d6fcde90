# Sourced by every script that starts Wine: picks the loader and server that fit the
# prefix. WINEPREFIX names the prefix; ZUVA_WINE_ARCH (win32 or win64) chooses for a
# prefix not made yet, otherwise the prefix's own system.reg tells.
#
# Debian's `wine` script starts the 32-bit loader whenever wine32 is installed, so on a
# kernel that runs no 32-bit code a 64-bit prefix must name the wine64 package's loader
# and server itself: tests/win32/wine64/ holds a `wine` and a `wineserver` that do, put
# first on PATH so that every script and child below calls them by their usual names.
if [ -z "${ZUVA_WINE_ARCH:-}" ] && [ -f "${WINEPREFIX:-}/system.reg" ]; then
    if grep -q '^#arch=win64' "$WINEPREFIX/system.reg"; then
        ZUVA_WINE_ARCH=win64
    else
        ZUVA_WINE_ARCH=win32
    fi
fi
ZUVA_WINE_ARCH=${ZUVA_WINE_ARCH:-win32}
export ZUVA_WINE_ARCH
export WINEARCH=$ZUVA_WINE_ARCH
if [ "$ZUVA_WINE_ARCH" = win64 ]; then
    export WINELOADER=/usr/lib/wine/wine64
    export WINESERVER=/usr/lib/wine/wineserver64
    # Sourced from tests/win32/ (or with ZUVA_WINE_SHIMS set by whoever sources it).
    ZUVA_WINE_SHIMS=${ZUVA_WINE_SHIMS:-$(cd "$(dirname "$0")" && pwd)/wine64}
    export ZUVA_WINE_SHIMS
    case ":$PATH:" in
    *":$ZUVA_WINE_SHIMS:"*) ;;
    *) PATH=$ZUVA_WINE_SHIMS:$PATH ;;
    esac
    export PATH
fi
