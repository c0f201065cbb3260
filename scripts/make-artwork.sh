#!/bin/sh
# Draws the login window's artwork: background 201, button faces 205, 206,
# 213 and icon 202. The field captions sit left of where the controls of
# dialog 103 land at 96 dpi with "MS Shell Dlg" 8 (x * 6 / 4, y * 13 / 8):
# server list y 180, account y 208, password y 234, all from x 333.
# Run from anywhere; writes into resources/art.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/resources/art"
font="${VELMORA_CJK_FONT:-WenQuanYi-Micro-Hei}"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Background: deep blue banner with the platform's name, a light form panel.
convert -size 432x329 xc:'#f4f7fb' \
  \( -size 432x150 gradient:'#0b3d91-#1f6fd1' \) -geometry +0+0 -composite \
  -fill '#ffffff20' -draw 'circle 380,40 470,60' -draw 'circle 40,150 -40,240' \
  -fill '#ffffff14' -draw 'circle 300,-30 420,10' \
  -fill '#f4f7fb' -draw 'polygon 0,150 432,118 432,150' \
  -fill '#d8e2ef' -draw 'rectangle 0,317 432,329' \
  -stroke '#b7c6da' -draw 'line 0,317 432,317' -stroke none \
  -stroke '#0b3d91' -strokewidth 1 -fill none -draw 'rectangle 0,0 431,328' -stroke none \
  -font "$font" -fill white -pointsize 34 -annotate +28+72 'Sorvik平台' \
  -fill '#cfe0ff' -pointsize 13 -annotate +30+100 '工程协同与文档管理系统' \
  -fill '#cfe0ff' -pointsize 11 -annotate +30+120 'Engineering Collaboration Platform' \
  -fill '#1f4e8f' -pointsize 14 -annotate +34+200 '用户登录' \
  -stroke '#1f6fd1' -strokewidth 2 -draw 'line 34,208 94,208' -stroke none \
  -fill '#6b7a90' -pointsize 11 -annotate +34+232 '请选择服务器并输入帐号和密码' \
  -fill '#2b3a55' -pointsize 13 \
  -gravity NorthEast \
  -annotate +106+182 '服务器：' \
  -annotate +106+210 '帐  号：' \
  -annotate +106+236 '密  码：' \
  -gravity NorthWest \
  -fill '#8a97aa' -pointsize 9 -annotate +8+317 '© Sorvik  版本 1.0' \
  -alpha off -type TrueColor BMP3:"$out/login-background.bmp"

# Button faces, 50 x 21: a shaded face with the caption centred.
face() {  # name top bottom text [pointsize]
  convert -size 50x21 gradient:"$2-$3" \
    -stroke "$3" -fill none -draw 'roundrectangle 0,0 49,20 3,3' -stroke none \
    -font "$font" -pointsize "${5:-12}" -fill white -gravity center -annotate +0+0 "$4" \
    -alpha off -type TrueColor BMP3:"$out/$1.bmp"
}
face button-ok '#2f86e8' '#1456b0' '登 录'
face button-cancel '#8d99ab' '#5d6b80' '取 消'
face button-workdir '#3aa57a' '#1f7a55' '目录设置' 10

# Icon: a blue rounded square with a white "S", in the usual sizes.
convert -size 256x256 xc:none \
  -fill '#1456b0' -draw 'roundrectangle 8,8 247,247 48,48' \
  -fill '#2f86e8' -draw 'roundrectangle 8,8 247,128 48,48' -draw 'rectangle 8,90 247,128' \
  -font DejaVu-Sans-Bold -pointsize 190 -fill white -gravity center -annotate +0+6 'S' \
  "$tmp/icon.png"
convert "$tmp/icon.png" -define icon:auto-resize=48,32,16 "$out/login.ico"
