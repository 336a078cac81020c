# shellcheck shell=bash
# Looks into recordings with ffprobe and ffmpeg: sourced by the desktop tests and the benchmark.

# "codec width height duration frames" of the first video stream.
video_facts() {  # file
  ffprobe -v error -select_streams v:0 -count_frames \
    -show_entries stream=codec_name,width,height,nb_read_frames:format=duration -of json "$1" |
    jq -r '"\(.streams[0].codec_name) \(.streams[0].width) \(.streams[0].height) \(.format.duration) \(.streams[0].nb_read_frames)"'
}

# The frame at a time, cut to a rectangle and scaled to a few pixels, as bytes "r g b r g b ...".
region_pixels() {  # file seconds x y w h size
  ffmpeg -v error -ss "$2" -i "$1" -frames:v 1 -vf "crop=$5:$6:$3:$4,scale=$7:$7:flags=area" \
    -f rawvideo -pix_fmt rgb24 - | od -An -v -tu1 | tr -s ' \n' ' '
}

# The mean colour of a rectangle: "r g b".
mean_colour() {  # file seconds x y w h
  region_pixels "$1" "$2" "$3" "$4" "$5" "$6" 1 | awk '{print $1, $2, $3}'
}

# True when two colours "r g b" differ by at most the tolerance in every channel.
colour_near() {  # "r g b" "r g b" tolerance
  awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { split(a, x, " "); split(b, y, " ");
    for (i = 1; i <= 3; i++) { d = x[i] - y[i]; if (d < 0) d = -d; if (d > t || x[i] == "") exit 1 } }'
}

# How much a rectangle changes between two times: the mean absolute difference per channel of a
# 16x16 thumbnail (0 for a frozen picture).
region_change() {  # file t1 t2 x y w h
  local a b
  a=$(region_pixels "$1" "$2" "$4" "$5" "$6" "$7" 16)
  b=$(region_pixels "$1" "$3" "$4" "$5" "$6" "$7" 16)
  awk -v a="$a" -v b="$b" 'BEGIN { n = split(a, x, " "); split(b, y, " "); s = 0;
    for (i = 1; i <= n; i++) { d = x[i] - y[i]; s += d < 0 ? -d : d } printf "%.1f\n", n ? s / n : 0 }'
}

# Frames that differ from the one before (a repeated frame is what a constant-rate recording
# holds when the source delivered nothing new): the frames actually captured.
distinct_frames() {  # file
  ffmpeg -v error -i "$1" -vf mpdecimate=hi=64:lo=32:frac=0 -f null - -progress pipe:1 2>/dev/null |
    awk -F= '/^frame=/ { n = $2 } END { print n + 0 }'
}
