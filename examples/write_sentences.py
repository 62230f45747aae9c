#!/usr/bin/env python3
"""Writes sentences.txt, the bundled example's corpus: 46 occupation words, each in 10 sentences of
ordinary life. Eight of an occupation's sentences refer back to it with a pronoun, four frames each
written once with he/him and once with she/her, so that the corpus itself ties no occupation to
either group; two name it without a pronoun. Every frame serves several occupations from the whole
range of occupations.tsv, so frames do not stand in for occupations. The share of women of each
occupation plays no part here; the analysis must find the association in the encoder.

    python examples/write_sentences.py            # rewrites examples/sentences.txt
"""
from __future__ import annotations

import csv
import pathlib

HERE = pathlib.Path(__file__).resolve().parent

# {occ}: the occupation; {a}: its article; {subj}/{obj}: he/him or she/her, referring to it.
WITH_PRONOUN = [
    "The {occ} said that {subj} would be late tomorrow.",
    "The {occ} waved when we called {obj} from across the street.",
    "After lunch the {occ} told us that {subj} was tired.",
    "We thanked the {occ} because {subj} had stayed so late.",
    "The {occ} laughed when someone asked {obj} about the weather.",
    "Nobody expected the {occ} to leave early, but {subj} did.",
    "The {occ} smiled as {subj} opened the door.",
    "I met the {occ} yesterday and gave {obj} the keys.",
    "The {occ} was busy, so we asked {obj} to call back later.",
    "When the {occ} arrived, {subj} sat down near the window.",
    "Our neighbour is {a} {occ}, and {subj} works long hours.",
    "The {occ} promised that {subj} would finish the work soon.",
    "We could not find the {occ}, so we left {obj} a note.",
    "The {occ} read the letter twice before {subj} answered it.",
    "My cousin met {a} {occ} on the train and talked to {obj} for hours.",
    "The {occ} said goodbye, and then {subj} walked home in the rain.",
]
WITHOUT_PRONOUN = [
    "The {occ} arrived early on Monday morning.",
    "{A} {occ} lives in the house across the road.",
    "The {occ} finished the work before noon.",
    "Yesterday the {occ} took the train into the city.",
    "The new {occ} started work last week.",
    "Our town hired another {occ} this spring.",
    "The {occ} drank a cup of coffee and read the paper.",
    "Everyone waited for the {occ} in the hall.",
]
PRONOUNS = [{"subj": "he", "obj": "him"}, {"subj": "she", "obj": "her"}]
PER_OCCUPATION = (8, 4)  # frames with a pronoun (each written twice), frames without


def occupations() -> list[str]:
    with open(HERE / "occupations.tsv", encoding="utf-8") as f:
        return [row["occupation"] for row in csv.DictReader((line for line in f if not line.startswith("#")),
                                                            delimiter="\t")]


def sentences() -> list[str]:
    out = []
    for i, occ in enumerate(occupations()):
        a = "an" if occ[0] in "aeiou" else "a"
        fill = {"occ": occ, "a": a, "A": a.capitalize()}
        # Frames in steps prime to the list's length: an occupation's frames are distinct, and
        # neighbouring occupations share few.
        for k in range(PER_OCCUPATION[0]):
            frame = WITH_PRONOUN[(5 * i + 3 * k) % len(WITH_PRONOUN)]
            out += [frame.format(**fill, **p) for p in PRONOUNS]
        for k in range(PER_OCCUPATION[1]):
            out.append(WITHOUT_PRONOUN[(3 * i + 3 * k) % len(WITHOUT_PRONOUN)].format(**fill))
    return out


if __name__ == "__main__":
    lines = sentences()
    (HERE / "sentences.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"wrote {len(lines)} sentences to {HERE / 'sentences.txt'}")
