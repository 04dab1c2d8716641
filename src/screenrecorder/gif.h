// The GIF step at the end of a GIF job.
#pragma once

struct recording_job;

// The filter graph handed to the converter: palette generation and mapping.
inline constexpr char kGifFilterGraph[] = "[0:v] split [a][b]; [a] palettegen [p]; [b][p] paletteuse";

// Converts job->temp_path into the GIF at job->output_path with the external
// converter, then removes job->temp_path, whatever the converter did.
void convert_to_gif(const recording_job *job);

// Removes job->temp_path (unless it is empty or names the output itself): the
// end of a GIF job that converts nothing, because its writer could not be set
// up, still leaves no temporary file behind.
void remove_gif_temp_file(const recording_job *job);
