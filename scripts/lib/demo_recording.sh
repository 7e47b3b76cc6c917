# The demo recording: a talk about lighthouses, spoken by espeak-ng (which the caller installs),
# with pauses between paragraphs. Sourced by scripts/demo.sh and the benchmarks.

# Paragraphs of three to five sentences, read four times in a shifted order, with pauses of
# 0.6 to 2.5 seconds between paragraphs. Within a paragraph the voice pauses for only about a
# third of a second after each sentence, too short to be cut at.
sentences=(
    "The first lighthouses were simply fires, lit on hilltops near harbours so that ships coming home at night could find the entrance."
    "Later, towers were built to lift the fire higher, because a light seen from further away gives a captain more time to change course."
    "Burning wood and coal gave a smoky, unsteady flame, and the keepers spent much of the night feeding it."
    "Oil lamps were cleaner, but a bare flame throws its light in every direction, and most of it is lost in the sky."
    "Mirrors behind the lamp helped, gathering some of the stray light and sending it out over the water."
    "The real change came with the lens, built from rings of glass that bend the light into one bright, level beam."
    "A large lens could weigh several tonnes, and it floated on a bath of mercury so that a clockwork could turn it."
    "Because each lighthouse turned at its own pace, sailors could tell them apart by counting the flashes."
    "A chart would say, for instance, two white flashes every ten seconds, and nothing else on that coast looked the same."
    "The keeper wound the clockwork every few hours, trimmed the wick, and polished the glass until it was perfectly clear."
    "In fog the light was of little use, so many stations also had a horn or a bell that sounded at a fixed rhythm."
    "Life at a rock station was lonely, with supplies brought out by boat whenever the weather allowed."
    "Some keepers kept gardens in boxes of soil carried out from the mainland, and a few kept goats."
    "Logbooks from those years record the weather, the ships that passed, and the small repairs of every day."
    "Storms could keep the relief boat away for weeks, and keepers learned to ration food long before it ran short."
    "Electric lamps arrived in the twentieth century and made the light brighter and far easier to keep burning."
    "Radio beacons followed, and then satellite navigation, which tells a ship its position to within a few metres."
    "One by one, the stations were automated, and the last keepers handed over their keys."
    "Today a small computer switches the lamp on at dusk and reports by radio if anything goes wrong."
    "Many of the old towers still stand, and some have become museums where visitors can climb the spiral stairs."
    "From the gallery at the top you can see how far the light once reached, across miles of open water."
    "The lenses that remain are admired as fine pieces of craft, with hundreds of prisms set by hand."
    "Even with modern instruments, captains still say that a familiar light on the horizon is a welcome sight."
    "That is where we will stop for today, and next time we will look at how harbours themselves were built."
)
pauses_ms=(1200 700 1800 900 2500 600 1500 1000)

write_ssml() {
    local round start count index paragraph=0 i
    echo "<speak>"
    for round in 0 1 2 3; do
        echo "<p>Reading $((round + 1)).</p><break time=\"1500ms\"/>"
        start=$((round * 5))
        i=0
        while [ "$i" -lt "${#sentences[@]}" ]; do
            count=$((3 + paragraph % 3))
            echo -n "<p>"
            for ((index = i; index < i + count && index < ${#sentences[@]}; index++)); do
                echo -n "${sentences[(start + index) % ${#sentences[@]}]} "
            done
            echo "</p><break time=\"${pauses_ms[paragraph % ${#pauses_ms[@]}]}ms\"/>"
            i=$((i + count))
            paragraph=$((paragraph + 1))
        done
    done
    echo "</speak>"
}

make_recording() {
    local target=$1
    local work
    work=$(mktemp -d)
    echo "== Speaking the demo recording ($target)"
    write_ssml >"$work/talk.ssml"
    espeak-ng -m -v en -s 160 -w "$work/talk.wav" -f "$work/talk.ssml"
    ffmpeg -hide_banner -loglevel error -y -i "$work/talk.wav" -ar 44100 -ac 2 \
        -acodec libmp3lame -b:a 128k "$target"
    rm -r "$work"
}
